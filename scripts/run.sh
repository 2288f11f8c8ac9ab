#!/usr/bin/env bash
# Builds the bench and starts it: installs what is missing, builds, runs oplbench.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
cmake --preset default -DOPLBENCH_TESTS=OFF -DOPLBENCH_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
cat <<'EOT'
oplbench is built. To hear the example music with sound effects over it, type these lines
once the help below appears (an empty line quits):
  LM examples/music.vgm     then  PMM      (the music)
  L1 examples/coin.vgm      then  P21      (a coin on SFX track 2)
  L2 examples/explosion.vgm then  P52      (an explosion on SFX track 5)
  E  pauses the music, R resumes it, SM stops it, S stops all effects

EOT
exec build/app/oplbench "$@"
