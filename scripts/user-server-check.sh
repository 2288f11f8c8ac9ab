#!/usr/bin/env bash
# Checks that the test command leaves a sound server the user runs exactly as it was. Starts a
# stand-in "user" PulseAudio daemon (its own runtime directory, two sinks, the second made the
# default), runs the device tests through scripts/test.sh from that user's environment, and
# compares the daemon's modules, sinks and default sink before and after. A subscription on
# the daemon also records any client, module or sink that comes and goes in between, so even
# a sink loaded and unloaded again is caught.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
  echo "user-server check: skipped, pulseaudio or pactl is not installed"
  exit 0
fi
user=$(mktemp -d "${TMPDIR:-/tmp}/oplbench-user.XXXXXX")
chmod 700 "$user"
stop_user() {
  if [ -f "$user/pulse/pid" ]; then
    pid=$(cat "$user/pulse/pid")
    if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
      for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
  fi
  rm -rf "$user"
}
trap stop_user EXIT

# The user's session: the server is found through XDG_RUNTIME_DIR, as on a desktop.
mkdir -p "$user/pulse" "$user/home"
export XDG_RUNTIME_DIR="$user" PULSE_RUNTIME_PATH="$user/pulse" PULSE_STATE_PATH="$user/state"
export PULSE_COOKIE="$user/cookie"
unset PULSE_SERVER PULSE_SINK OPLBENCH_SOUND_SERVER
printf 'autospawn = no\n' >"$user/client.conf"
export PULSE_CLIENTCONFIG="$user/client.conf"
HOME="$user/home" pulseaudio --daemonize=yes --exit-idle-time=-1 -n --use-pid-file=yes \
  --log-target="newfile:$user/pulse.log" \
  --load="module-null-sink sink_name=user_speakers" \
  --load="module-null-sink sink_name=user_headphones" \
  --load="module-native-protocol-unix auth-anonymous=1" >/dev/null 2>&1
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-sink user_headphones

snapshot() {
  pactl list short modules
  pactl list short sinks | cut -f2
  pactl info | grep '^Default Sink:'
}
snapshot >"$user/before"
echo "user-server check: the user's server before the tests:"
sed 's/^/  /' "$user/before"

pactl subscribe >"$user/events" &
watcher=$!
sleep 0.5  # the subscription is in place
bash scripts/test.sh -L device -LE soak | tee "$user/test.log"
sleep 0.5
kill "$watcher"
wait "$watcher" 2>/dev/null || true
if ! grep -q "^Private sound server for the device tests: started" "$user/test.log"; then
  echo "user-server check: FAILED, the device tests did not get their private server" >&2
  exit 1
fi

snapshot >"$user/after"
if ! diff -u "$user/before" "$user/after"; then
  echo "user-server check: FAILED, the tests changed the user's server (diff above)" >&2
  exit 1
fi
if [ -s "$user/events" ]; then
  echo "user-server check: FAILED, the user's server saw these events during the tests:" >&2
  cat "$user/events" >&2
  exit 1
fi
echo "user-server check: the user's modules, sinks and default sink are unchanged, and no"
echo "client, module or sink came or went on the user's server during the tests"
