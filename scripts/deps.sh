#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages a task needs, only those missing, saying which. It never
# replaces what the machine has: apt may not remove anything, and where PipeWire's pulse server
# is installed PulseAudio is not (scripts/pulse.sh then says why the device tests are skipped).
# Usage: scripts/deps.sh run|test|ci
set -euo pipefail
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

want=(g++ cmake ninja-build pkg-config libasound2-dev libasound2-plugins libsndfile1-dev zlib1g-dev
      libcairo2-dev libpng-dev libcli11-dev libncurses-dev libdbus-1-dev)
testing=(libgtest-dev libgmock-dev libbenchmark-dev pulseaudio-utils alsa-utils python3 man-db tmux dbus)
if ! installed pipewire-pulse; then testing+=(pulseaudio); fi
case "${1:-run}" in
  run) ;;
  test) want+=("${testing[@]}") ;;
  ci) want+=("${testing[@]}" clang clang-format ccache) ;;
  *) echo "usage: $0 run|test|ci" >&2; exit 2 ;;
esac

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
updated=no
install_missing() {
  local missing=() p
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ "$updated" = no ]; then $sudo apt-get update -qq; updated=yes; fi
  $sudo apt-get install -y -qq --no-remove "${missing[@]}" >/dev/null
}
install_missing "${want[@]}"

# The sanitizer and fuzzer runtimes must match the installed clang, whatever its version.
if [ "${1:-run}" = ci ]; then
  major=$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n1)
  runtime=libclang-rt-dev
  if [ -n "$major" ] && apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
    runtime="libclang-rt-$major-dev"
  fi
  install_missing "$runtime"
fi
