#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages a task needs, only those missing, saying which.
# Usage: scripts/deps.sh run|test|ci
set -euo pipefail
want=(g++ cmake ninja-build pkg-config libasound2-dev libasound2-plugins libsndfile1-dev zlib1g-dev)
case "${1:-run}" in
  run) ;;
  test) want+=(libgtest-dev libgmock-dev libbenchmark-dev pulseaudio pulseaudio-utils alsa-utils python3) ;;
  ci) want+=(libgtest-dev libgmock-dev libbenchmark-dev pulseaudio pulseaudio-utils alsa-utils python3
             clang libclang-rt-14-dev) ;;
  *) echo "usage: $0 run|test|ci" >&2; exit 2 ;;
esac
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi
echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
