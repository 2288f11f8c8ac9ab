#!/usr/bin/env bash
# Runs every fuzz target for a share of a bounded time, one at a time, from the seeds that
# fuzz_seeds writes, the example files and the inputs kept under fuzz/regressions, and fails
# on any finding. A finding's input is copied to fuzz/regressions/<target>/, where the CTest
# replay (fuzz_replay_<target>) runs it from then on: commit it with the fix.
#   fuzz/run.sh BUILD_DIR TOTAL_SECONDS
# Prints, per target, the executions and executions per second.
set -euo pipefail
build="$(cd "$1" && pwd)"; total="$2"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/fuzz/fuzz_seeds" "$work/seeds"
# target:weight:max_len. The driver target is the fast one and gets the largest share.
targets="driver:3:65536 gzip:2:1048576 chip:2:4096 vgm:2:65536 commands:2:4096 lines:1:200000
         script:1:4096"
weights=0
for t in $targets; do weights=$((weights + $(echo "$t" | cut -d: -f2))); done
status=0
for t in $targets; do
  name=${t%%:*}; rest=${t#*:}; weight=${rest%%:*}; maxlen=${rest#*:}
  seconds=$((total * weight / weights)); [ "$seconds" -lt 5 ] && seconds=5
  corpus="$work/corpus-$name"; mkdir -p "$corpus"
  dirs=("$corpus" "$work/seeds/$name")
  [ -d "$here/regressions/$name" ] && dirs+=("$here/regressions/$name")
  case $name in driver|vgm|gzip) dirs+=("$here/../examples") ;; esac
  dict=()
  case $name in driver|gzip) dictfile="$here/vgm.dict" ;; *) dictfile="$here/$name.dict" ;; esac
  [ -f "$dictfile" ] && dict=(-dict="$dictfile")
  log="$work/$name.log"
  if (cd "$work" && "$build/fuzz/fuzz_$name" "${dict[@]}" -max_total_time="$seconds" \
        -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/finding-$name-" "${dirs[@]}" >"$log" 2>&1); then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$name: ${execs:-?} executions in ${seconds} s ($(( ${execs:-0} / seconds )) per second)"
  else
    status=1
    echo "fuzz_$name: FINDING"; tail -40 "$log"
    mkdir -p "$here/regressions/$name"
    for f in "$work/finding-$name-"*; do
      [ -f "$f" ] && cp "$f" "$here/regressions/$name/" && echo "kept: fuzz/regressions/$name/$(basename "$f")"
    done
  fi
done
exit $status
