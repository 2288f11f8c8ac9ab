#!/usr/bin/env bash
# Builds the bench and starts it: installs what is missing, builds, runs oplbench.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
cmake --preset default -DOPLBENCH_TESTS=OFF -DOPLBENCH_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/app/oplbench ]; then
  exec build/app/oplbench "$@"
fi
echo "Built the libraries in build/; the console program is not part of the tree yet."
