#!/usr/bin/env bash
# The checks CI runs after the normal suite: the formatting of the tracked C++ files, the
# device tests beside a running "user" sound server, the sound's gaps under load
# (scripts/dropout-check.sh), a clang build with its quick tests, the
# whole suite under address+undefined sanitizers, the whole suite under the thread sanitizer,
# and every fuzz target for a share of a bounded time (OPLBENCH_FUZZ_SECONDS in all, 420 by
# default). Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
# The compiler cache (where ccache is installed) is shared by every checkout of the tree: paths
# are taken relative to the checkout, and the build folder is left out of the hash.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
jobs=$(nproc)
fuzz_seconds="${OPLBENCH_FUZZ_SECONDS:-420}"

# The device tests play into a private sound server; only the ctest runs are pointed at it.
sound=$(mktemp -d "${TMPDIR:-/tmp}/oplbench-sound.XXXXXX")
trap 'bash scripts/pulse.sh stop "$sound"; rm -rf "$sound"' EXIT
echo "Private sound server for the device tests: $(bash scripts/pulse.sh start "$sound")"

echo "== formatting: clang-format over the tracked C++ files"
git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run --Werror

echo "== the device tests leave a user's running sound server as it was"
bash scripts/user-server-check.sh

echo "== sound under load: no gaps, no underruns, idle latency, through a private server (~130 s)"
# A run that finds a fault is run again, up to three runs, and the last verdict stands: on a
# shared virtual machine whose host takes the processors away for tens of milliseconds now and
# then (see the README), runs have failed twice in a row while other work shared the machine,
# while a fault of the bench's own shows in every run.
for run in 1 2 3; do
  if bash scripts/dropout-check.sh build; then break; fi
  if [ "$run" = 3 ]; then exit 1; fi
  echo "dropout-check: faults found; running it again"
done

echo "== clang build (Release, tests included): quick tests"
cmake --preset clang >/dev/null
cmake --build build-clang -j"$jobs"
ctest --test-dir build-clang --output-on-failure -j"$jobs" --timeout 300 -LE 'device|soak'

echo "== address+undefined sanitizer build: whole suite"
# The soak run is left out here: the sanitizer's freed-memory quarantine grows the resident
# size by design, which is what that run measures.
cmake --preset asan >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  bash scripts/pulse.sh run "$sound" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600 -LE soak

echo "== thread sanitizer build: whole suite"
# The soak run is left out here too: it measures the resident size, which the sanitizer's
# shadow memory changes.
cmake --preset tsan >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
  bash scripts/pulse.sh run "$sound" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 600 -LE soak

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzz targets, ${fuzz_seconds} s in all"
  cmake --preset fuzz >/dev/null
  cmake --build build-fuzz -j"$jobs"
  bash fuzz/run.sh build-fuzz "$fuzz_seconds"
fi
echo "ci-extra: all checks passed"
