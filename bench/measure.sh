#!/bin/bash
# measure.sh - the render speed figures of one or more build trees, side by side:
# callgrind instructions per output sample inclusive PlayerRender (deterministic) for 0 (idle)
# to 9 sounding channels and rhythm mode, and the whole-process oplrender time of a
# 60 s full-load render (median of N runs, the builds alternating so that a busy machine
# weighs on all of them alike). With --tap: only the chip at full load in runs of 441, tap off
# and on (callgrind, instructions per sample inclusive FmChipRenderUntil). With --music: only
# the example music and six effects through PlayerRender (player_bench under callgrind, the
# first 3000 buffers, instructions per 10 ms buffer inclusive PlayerRender). With --outputs:
# only oplrender's closing-line time of the 60 s full-load render plain, with --stems, with
# --picture and with both (median of N runs each, builds and outputs taking turns, each run
# after a sync; a run during which the rest of the machine used 25 ms of processor time or
# more is run again, up to five times, and left out if it never ran alone).
#   bench/measure.sh [--runs N] [--no-callgrind] [--tap | --music | --outputs] BUILD_DIR...
set -eu
runs=5
callgrind=1
tap=0
music=0
outputs=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --no-callgrind) callgrind=0; shift ;;
    --tap) tap=1; shift ;;
    --music) music=1; shift ;;
    --outputs) outputs=1; shift ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || {
  echo "usage: $0 [--runs N] [--no-callgrind] [--tap | --music | --outputs] BUILD_DIR..." >&2
  exit 2
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$music" = 1 ]; then
  # The benchmark renders for a fixed time, so the count is divided by the buffers it rendered.
  for build in "$@"; do
    valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$build/bench/player_bench" \
      --benchmark_filter=ExamplesFixed >/dev/null 2>&1
    callgrind_annotate --inclusive=yes --tree=caller "$work/cg.out" 2>/dev/null | awk -v b="$build" '
      /\* .*PlayerRender\(void\*/ { gsub(",", "", $1); ir = $1 }
      /=>.*PlayerRender\(void\*/ && !calls { s = $0; gsub(",", "", s); sub(/.*\(/, "", s); sub(/x\).*/, "", s); calls = s }
      END { printf "callgrind %s music: %d instructions/buffer inclusive PlayerRender (%d buffers)\n", b, ir / calls, calls }'
  done
  exit 0
fi

if [ "$tap" = 1 ]; then
  # 1000 runs of 441 after 1000 samples of set-up.
  samples=$((1000 * 441 + 1000))
  for build in "$@"; do
    for bench in full_load_fixed full_load_tap_fixed; do
      valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$build/bench/fmchip_bench" \
        --benchmark_filter="^Render/$bench/441/" >/dev/null 2>&1
      ir=$(callgrind_annotate --inclusive=yes "$work/cg.out" 2>/dev/null |
        awk '/FmChipRenderUntil/ { gsub(",", "", $1); print $1; exit }')
      per=$(awk -v ir="$ir" -v n="$samples" 'BEGIN { printf "%.1f", ir / n }')
      echo "callgrind $build $bench: $per instructions/sample inclusive FmChipRenderUntil"
    done
  done
  exit 0
fi
"$1/bench/loadgen" "$work"

if [ "$outputs" = 1 ]; then
  python3 - "$work" "$runs" "$@" <<'PY'
import os, re, statistics, subprocess, sys
work, runs, builds = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
extra = {"plain": [], "stems": ["--stems", work + "/stems"], "picture": ["--picture", work + "/p.png"]}
extra["both"] = extra["stems"] + extra["picture"]
def busy():  # processor time of the whole machine so far, ms (counted in 10 ms ticks)
    f = [int(x) for x in open("/proc/stat").readline().split()[1:]]
    return (sum(f) - f[3] - f[4]) * 10
def closing(build, kind):  # ms by the closing line, or None when the machine never was quiet
    for _ in range(5):
        subprocess.run(["rm", "-rf", work + "/stems"])
        # The last run's files on the disk first: the old mix replaced here is then freed as a
        # file written a while ago is, not while the system still holds it in memory alone,
        # and no write-back of that run goes on during this one.
        os.sync()
        before = busy()
        p = subprocess.Popen([build + "/tools/oplrender/oplrender", "--seconds", "60", "--out",
                              work + "/o.wav", "--vgm", work + "/ch9.vgm"] + extra[kind],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        err = p.stderr.read().decode()
        _, status, use = os.wait4(p.pid, 0)
        others = busy() - before - (use.ru_utime + use.ru_stime) * 1000
        m = re.search(r"rendered in [0-9.]+ s, ([0-9]+)x real time", err)
        if status != 0 or not m: sys.exit("oplrender failed: " + err)
        if others < 25: return 60000 / int(m.group(1))
    return None
times = {}
for _ in range(runs):
    for build in builds:
        for kind in extra:
            t = closing(build, kind)
            if t is not None: times.setdefault((build, kind), []).append(t)
for build in builds:
    plain = statistics.median(times.get((build, "plain"), [0])) or float("nan")
    for kind in extra:
        v = times.get((build, kind), [])
        if not v:
            print("oplrender %s %s: no run while the machine was quiet" % (build, kind)); continue
        m = statistics.median(v)
        print("oplrender %s %-7s median of %2d: %6.1f ms (%+4.0f %% of plain), runs: %s" %
              (build, kind, len(v), m, 100 * (m / plain - 1), " ".join("%.0f" % x for x in sorted(v))))
PY
  exit 0
fi

if [ "$callgrind" = 1 ]; then
  seconds=2
  samples=$((seconds * 44100))
  for build in "$@"; do
    for load in ch0 ch1 ch2 ch3 ch4 ch5 ch6 ch7 ch8 ch9 rhythm; do
      out="$work/cg.out"
      valgrind --tool=callgrind --callgrind-out-file="$out" \
        "$build/tools/oplrender/oplrender" --quiet --seconds "$seconds" \
        --out "$work/cg.wav" --vgm "$work/$load.vgm" >/dev/null 2>&1
      ir=$(callgrind_annotate --inclusive=yes "$out" 2>/dev/null |
        awk '/PlayerRender/ { gsub(",", "", $1); print $1; exit }')
      echo "callgrind $build $load: $((ir / samples)) instructions/sample inclusive PlayerRender"
    done
  done
fi

# The whole process, timed from just before it is started to its exit by Python (a shell
# timing each run with date would add two process starts of its own to every figure).
python3 - "$work" "$runs" "$@" <<'PY'
import statistics, subprocess, sys, time
work, runs, builds = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
times = {b: [] for b in builds}
for _ in range(runs):
    for build in builds:
        t0 = time.perf_counter()
        subprocess.run([build + "/tools/oplrender/oplrender", "--quiet", "--seconds", "60", "--out",
                        work + "/full.wav", "--vgm", work + "/ch9.vgm"], stdout=subprocess.DEVNULL,
                       check=True)
        times[build].append((time.perf_counter() - t0) * 1e6)
for build in builds:
    m = statistics.median(times[build])
    print("oplrender %s: 60 s full load, median of %d: %.0f us = %.0fx real time (runs: %s)" %
          (build, runs, m, 60e6 / m, " ".join("%.0f" % t for t in times[build])))
PY
