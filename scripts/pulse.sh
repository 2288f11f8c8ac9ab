#!/usr/bin/env bash
# Starts or stops the PulseAudio daemon with a null sink that the device tests play into.
# ALSA's "default" device reaches it through the pulse plugin; its monitor source
# "oplbench_null.monitor" can be recorded with parec.
#   scripts/pulse.sh start   prints "started" (we own the daemon), "running" or "unavailable"
#   scripts/pulse.sh stop    stops the daemon this script started, by its process id
set -uo pipefail
state="${TMPDIR:-/tmp}/oplbench-pulse.pid"
case "${1:-}" in
  start)
    if ! command -v pulseaudio >/dev/null; then echo unavailable; exit 0; fi
    if pactl info >/dev/null 2>&1; then
      pactl list short sinks 2>/dev/null | grep -q oplbench_null ||
        pactl load-module module-null-sink sink_name=oplbench_null >/dev/null 2>&1
      pactl set-default-sink oplbench_null >/dev/null 2>&1
      echo running; exit 0
    fi
    pulseaudio --daemonize=yes --exit-idle-time=-1 -n \
      --load="module-null-sink sink_name=oplbench_null" \
      --load=module-native-protocol-unix >/dev/null 2>&1
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    if ! pactl info >/dev/null 2>&1; then echo unavailable; exit 0; fi
    pactl set-default-sink oplbench_null >/dev/null 2>&1
    pid=$(pgrep -n -x pulseaudio || true)
    echo "$pid" > "$state"
    echo started ;;
  stop)
    if [ -f "$state" ]; then
      pid=$(cat "$state"); rm -f "$state"
      [ -n "$pid" ] && kill "$pid" 2>/dev/null
      for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
