#!/usr/bin/env bash
# Branch coverage of the code that meets the world: builds the coverage preset (clang
# source-based coverage), runs the test suite without the soak run (the device tests too,
# when a sound server is reachable), merges every process's profile and prints per-file
# line and branch coverage of platform/, audio/wavfile/ and the loader (driver/vgm_slot.cpp).
#   scripts/coverage.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-coverage
cmake --preset coverage >/dev/null
cmake --build "$build" -j2
profiles="$(mktemp -d)"
trap 'rm -rf "$profiles"' EXIT
# %p: one profile per process, so tests running side by side never share a file. %c: the
# counters live in the file itself (the preset builds with counter relocation for it), so a
# process that a signal ends (the signal tests, the SIGKILL ones) still counts, and a forked
# child counts into its parent's file. Such a file is sized when the process starts, before
# it can ignore SIGXFSZ: a test that runs a program under a small file size limit fails so,
# and is run again with the profile written at exit instead.
LLVM_PROFILE_FILE="$profiles/%c%p-%m.profraw" \
  ctest --test-dir "$build" -j2 -LE soak --timeout 600 "$@" >"$profiles/ctest.log" 2>&1 ||
  LLVM_PROFILE_FILE="$profiles/%p-%m.profraw" \
  ctest --test-dir "$build" --rerun-failed --timeout 600 >>"$profiles/ctest.log" 2>&1 ||
  { tail -30 "$profiles/ctest.log"; echo "coverage: some tests failed (figures below still count)"; }
grep -E 'tests passed|tests failed' "$profiles/ctest.log" || true
# The merged profile stays in the build tree for `llvm-cov show` on a file's missed branches.
merged="$build/coverage.profdata"
llvm-profdata merge -sparse -failure-mode=all "$profiles"/*.profraw -o "$merged"
objects=()
while IFS= read -r exe; do objects+=(-object "$exe"); done < <(
  find "$build" -type f -perm -u+x \( -path '*/tests/*' -o -path '*/app/*' -o -path '*/tools/*' \
       -o -path '*/fuzz/*' \) ! -name '*.so' ! -name '*.sh' ! -name '*.py')
# Compiled through ccache, the sources are named relative to the build tree (with CCACHE_BASEDIR
# set, as "../platform/..."), so the files are picked by a pattern on the report's lines
# rather than by path arguments.
# The waveOut test double (platform/waveout_double.cpp) sits in platform/ beside the backend it
# stands in for, but it is test code, linked by tests only: left out like tests/.
llvm-cov report -instr-profile="$merged" "${objects[@]:1}" \
  -ignore-filename-regex='tests/|/usr/|_double\.cpp$' |
  awk 'NR <= 2 || /^(\.\.\/)?(driver\/vgm_slot\.cpp|platform\/[a-z_]+\.cpp|audio\/wavfile\/[a-z_]+\.cpp) /' |
  awk '!seen[$1]++'
printf '%s\n' "${objects[@]:1}" >"$build/coverage.objects"
echo "Missed branches: llvm-cov show -instr-profile=$merged -show-branches=count" \
     "\$(cat $build/coverage.objects) -name-regex=FUNCTION"
