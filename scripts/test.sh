#!/usr/bin/env bash
# Builds everything and runs the whole test suite: installs what is missing, starts a private
# PulseAudio daemon with a null sink for the device tests (its own runtime directory, which
# only CTest's processes are pointed at), runs CTest, and stops the daemon. A sound server the
# user runs is left exactly as it is. Arguments go to ctest (e.g. -L device).
set -euo pipefail
cd "$(dirname "$0")/.."
# The compiler cache (where ccache is installed) is shared by every checkout of the tree: paths
# are taken relative to the checkout, and the build folder is left out of the hash.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
bash scripts/deps.sh "${OPLBENCH_DEPS:-test}"
cmake --preset default -DOPLBENCH_TESTS=ON -DOPLBENCH_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
sound=$(mktemp -d "${TMPDIR:-/tmp}/oplbench-sound.XXXXXX")
trap 'bash scripts/pulse.sh stop "$sound"; rm -rf "$sound"' EXIT
echo "Private sound server for the device tests: $(bash scripts/pulse.sh start "$sound")"
bash scripts/pulse.sh run "$sound" \
  ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300 "$@"
