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
# %p: one profile per process, so tests running side by side never share a file. A process
# killed on purpose (the SIGKILL tests) leaves a broken profile, which the merge skips.
LLVM_PROFILE_FILE="$profiles/%p-%m.profraw" \
  ctest --test-dir "$build" -j2 -LE soak --timeout 600 "$@" >"$profiles/ctest.log" 2>&1 ||
  { tail -30 "$profiles/ctest.log"; echo "coverage: some tests failed (figures below still count)"; }
llvm-profdata merge -sparse -failure-mode=all "$profiles"/*.profraw -o "$profiles/all.profdata"
objects=()
while IFS= read -r exe; do objects+=(-object "$exe"); done < <(
  find "$build" -type f -perm -u+x \( -path '*/tests/*' -o -path '*/app/*' -o -path '*/tools/*' \
       -o -path '*/fuzz/*' \) ! -name '*.so' ! -name '*.sh' ! -name '*.py')
llvm-cov report -instr-profile="$profiles/all.profdata" "${objects[@]:1}" \
  -ignore-filename-regex='tests/|/usr/' \
  "$PWD/driver/vgm_slot.cpp" "$PWD/platform" "$PWD/audio/wavfile"
