#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from its seed corpus and fails on any finding.
#   fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
build="$(cd "$1" && pwd)"; seconds="$2"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/fuzz/fuzz_seeds" "$work/seeds"
cp "$here"/../examples/*.vgm "$work/seeds/" 2>/dev/null || true
status=0
for target in "$build"/fuzz/fuzz_*; do
  name=$(basename "$target")
  [ "$name" = fuzz_seeds ] && continue
  mkdir -p "$work/$name"
  dict=()
  [ -f "$here/${name#fuzz_}.dict" ] && dict=(-dict="$here/${name#fuzz_}.dict")
  echo "-- $name: ${seconds}s"
  if ! (cd "$work" && "$target" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/$name-" "$work/$name" "$work/seeds" \
        2>"$work/$name.log"); then
    tail -50 "$work/$name.log"; status=1
    ls "$work/$name-"* 2>/dev/null && echo "finding kept in the log above"
  else
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|cov:' "$work/$name.log" | tail -3
  fi
done
exit $status
