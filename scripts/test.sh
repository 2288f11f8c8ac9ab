#!/usr/bin/env bash
# Builds everything and runs the whole test suite: installs what is missing, starts the
# PulseAudio null sink for the device tests, runs CTest, and stops the daemon it started.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh "${OPLBENCH_DEPS:-test}"
cmake --preset default -DOPLBENCH_TESTS=ON -DOPLBENCH_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
pulse=$(bash scripts/pulse.sh start)
trap '[ "$pulse" = started ] && bash scripts/pulse.sh stop' EXIT
echo "PulseAudio null sink: $pulse"
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300 "$@"
