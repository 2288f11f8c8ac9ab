#!/usr/bin/env bash
# Starts or stops a private PulseAudio daemon for the device tests: its runtime directory, pid
# file, state, cookie and log all live in DIR, so it never meets a sound server the user runs.
# Its only sink is the null sink "oplbench_null" (its monitor "oplbench_null.monitor" can be
# recorded with parec). Only processes given DIR/env reach it: that file sets PULSE_SERVER
# and the rest, and OPLBENCH_SOUND_SERVER, which tells the device tests the server is theirs.
#   scripts/pulse.sh start DIR   prints "started", or "unavailable: why" (then no DIR/env)
#   scripts/pulse.sh run DIR CMD...  runs CMD with DIR/env (as it is without, if none)
#   scripts/pulse.sh stop DIR    stops the daemon started in DIR, by its pid file
# DIR is the caller's (an empty directory, e.g. from mktemp -d), and so is removing it.
# With PULSE_REALTIME=1 every thread of the daemon runs at real-time priority where the system
# allows it (as a desktop grants its sound server), so that a busy machine cannot hold back
# the server's handling of the streams it is sent.
set -uo pipefail
dir="${2:-}"
usage() { echo "usage: $0 start|stop DIR, or $0 run DIR COMMAND..." >&2; exit 2; }
[ -n "$dir" ] || usage
case "${1:-}" in
  start)
    if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
      if command -v pipewire-pulse >/dev/null; then
        echo "unavailable: PipeWire's pulse server is installed and PulseAudio is not" \
             "(installing it could replace the desktop's); the device tests are skipped"
      else
        echo "unavailable: pulseaudio or pactl is not installed"
      fi
      exit 0
    fi
    mkdir -p "$dir/pulse" "$dir/state" "$dir/home" && chmod 700 "$dir" "$dir/pulse" || exit 1
    printf 'autospawn = no\n' >"$dir/client.conf"
    cat >"$dir/env" <<EOT
XDG_RUNTIME_DIR=$dir
PULSE_RUNTIME_PATH=$dir/pulse
PULSE_STATE_PATH=$dir/state
PULSE_COOKIE=$dir/cookie
PULSE_CLIENTCONFIG=$dir/client.conf
PULSE_SERVER=unix:$dir/pulse/native
OPLBENCH_SOUND_SERVER=unix:$dir/pulse/native
EOT
    # The daemon gets a home of its own too, so nothing it writes lands in the user's.
    (
      set -a; . "$dir/env"; set +a
      HOME="$dir/home" pulseaudio --daemonize=yes --exit-idle-time=-1 -n --use-pid-file=yes \
        --log-target="newfile:$dir/pulse.log" \
        --load="module-null-sink sink_name=oplbench_null" \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/pulse/native" \
        >/dev/null 2>&1
      for _ in $(seq 50); do
        if pactl info >/dev/null 2>&1; then
          # The daemon sets its own priorities as it starts; real time is given afterwards.
          if [ "${PULSE_REALTIME:-0}" = 1 ] && [ -f "$dir/pulse/pid" ]; then
            for task in /proc/"$(cat "$dir/pulse/pid")"/task/*; do
              chrt -r -p 5 "${task##*/}" 2>/dev/null || true
            done
          fi
          exit 0
        fi
        sleep 0.1
      done
      exit 1
    )
    if [ $? -ne 0 ]; then
      rm -f "$dir/env"
      echo "unavailable: the private daemon did not answer (log: $dir/pulse.log)"
      exit 0
    fi
    echo started ;;
  run)
    [ $# -ge 3 ] || usage
    shift 2
    if [ -f "$dir/env" ]; then set -a; . "$dir/env"; set +a; fi
    exec "$@" ;;
  stop)
    if [ -f "$dir/pulse/pid" ]; then
      pid=$(cat "$dir/pulse/pid")
      if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
        for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      fi
    fi ;;
  *) usage ;;
esac
