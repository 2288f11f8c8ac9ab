#!/usr/bin/env bash
# Plays a steady tone through oplbench into a private sound server's null sink, first with the
# machine as it is, then beside BUSY processes at normal priority, and checks what reached the
# sink: no gap (a run of 5 ms or more of frozen samples) that a stall of the machine at least
# as long, beside it, does not explain, no gap at all in the --record file (what the bench
# rendered), the sound heard and the recording each within 1 % of the time played, and no
# underrun reported. It prints those figures and the command-to-sound latency at idle, with
# the machine's own stalls in each phase (how late a thread at the bench's real-time priority
# woke on each processor: bench/stallprobe) and those near each gap. About 130 s in all.
# Exit status 1 when a check fails or nothing was heard; 0 (with a note) when no sound server
# can be started here.
#   scripts/dropout-check.sh [BUILD_DIR]   (default build; BUSY=8 IDLE_S=60 LOADED_S=60)
set -uo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
[ -x "$build/app/oplbench" ] || { echo "dropout-check: no $build/app/oplbench" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/oplbench-dropout.XXXXXX")
trap 'bash scripts/pulse.sh stop "$work/sound"; rm -rf "$work"' EXIT
mkdir "$work/sound"
# The server runs at real-time priority, as a desktop's does: the gaps counted are the bench's.
state=$(PULSE_REALTIME=1 bash scripts/pulse.sh start "$work/sound")
if [ "$state" != started ]; then echo "dropout-check: skipped, sound server $state"; exit 0; fi
bash scripts/pulse.sh run "$work/sound" python3 - "$build/app/oplbench" "$work" \
  "$build/bench/stallprobe" <<'EOF'
import os, signal, struct, subprocess, sys, threading, time, wave

bench, work, stallprobe = sys.argv[1], sys.argv[2], sys.argv[3]
busy = int(os.environ.get("BUSY", "8"))
idle_s = float(os.environ.get("IDLE_S", "60"))
loaded_s = float(os.environ.get("LOADED_S", "60"))
rate = 44100

# A sustained 388 Hz tone on channel 0 that loops for ever: no rest in it is ever silent.
def tone_vgm(path):
    w = lambda r, v: bytes([0x5A, r, v])
    body = b"".join(w(r, v) for r, v in [(0x20, 0x21), (0x23, 0x21), (0x40, 0x3F), (0x43, 0x00),
                                          (0x60, 0xF0), (0x63, 0xF0), (0x80, 0x00), (0x83, 0x00),
                                          (0xE0, 0), (0xE3, 0), (0xC0, 0x00), (0xA0, 0x00),
                                          (0xB0, 0x32)])
    loop_at = 0x100 + len(body)
    body += bytes([0x61, 0xFF, 0xFF, 0x66])
    head = bytearray(0x100)
    head[0:4] = b"Vgm "
    struct.pack_into("<I", head, 0x04, 0x100 + len(body) - 4)
    struct.pack_into("<I", head, 0x08, 0x151)
    struct.pack_into("<I", head, 0x18, 0xFFFF)
    struct.pack_into("<I", head, 0x1C, loop_at - 0x1C)
    struct.pack_into("<I", head, 0x20, 0xFFFF)
    struct.pack_into("<I", head, 0x34, 0x100 - 0x34)
    struct.pack_into("<I", head, 0x50, 3579545)
    open(path, "wb").write(bytes(head) + body)

tone = os.path.join(work, "tone.vgm")
tone_vgm(tone)
fmt = ["--raw", "--format=s16le", "--rate=%d" % rate, "--channels=1"]
# A silent stream keeps the sink's clock running, so the first sound is not held back.
silence = subprocess.Popen(["pacat"] + fmt + ["/dev/zero"])
monitor = subprocess.Popen(["parec", "--device=oplbench_null.monitor", "--latency-msec=10"] + fmt,
                           stdout=subprocess.PIPE)
chunks, base = [], [float("inf")]  # base: wall time of monitor sample 0 (earliest estimate)
def read_monitor():
    got = 0
    while True:
        data = monitor.stdout.read1(4096)
        if not data:
            return
        now = time.monotonic()
        chunks.append(data)
        got += len(data) // 2
        base[0] = min(base[0], now - got / rate)
reader = threading.Thread(target=read_monitor, daemon=True)
reader.start()

# The machine's stalls, seen by a thread on each processor at the bench's priority that wakes
# every 5 ms.
probe = None
if os.access(stallprobe, os.X_OK):
    probe = subprocess.Popen([stallprobe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

wav = os.path.join(work, "session.wav")
errors = open(os.path.join(work, "errors.txt"), "w+")
p = subprocess.Popen([bench, "--record", wav], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                     stderr=errors, text=True)
send = lambda line: (p.stdin.write(line + "\n"), p.stdin.flush())
send("LM " + tone)
time.sleep(2.0)
t_play = time.monotonic()
send("PMM")
time.sleep(idle_s)
t_load = time.monotonic()
hogs = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(busy)]
time.sleep(loaded_s)
for h in hogs:
    h.kill()
    h.wait()
t_stop = time.monotonic()
send("S")
send("")
p.stdin.close()
p.wait(timeout=10)
time.sleep(0.3)
monitor.send_signal(signal.SIGTERM)
silence.send_signal(signal.SIGTERM)
monitor.wait()
silence.wait()
reader.join(timeout=2)
stalls = []  # (monotonic time, ms late)
if probe:
    out, _ = probe.communicate(timeout=10)
    stalls = [(float(w[3]), float(w[1])) for w in (l.split() for l in out.splitlines())
              if w and w[0] == "late"]

raw = b"".join(chunks)
s = struct.unpack("<%dh" % (len(raw) // 2), raw[: len(raw) // 2 * 2])
index = lambda t: max(0, min(len(s), int((t - base[0]) * rate)))
first = next((i for i in range(index(t_play), len(s)) if abs(s[i]) > 64), None)
if first is None:
    print("dropout-check: no sound reached the sink")
    sys.exit(1)

def gaps(a, b, s=s, first=first):  # runs of >= 5 ms (220 samples) of one repeated value
    found, i = [], a
    while i < b:
        j = i + 1
        while j < b and s[j] == s[i]:
            j += 1
        if j - i >= 220:
            found.append((round((i - first) / rate, 3), round((j - i) * 1000 / rate, 1)))
        i = j
    return found

end_loaded = index(t_stop)
idle_gaps = gaps(first, index(t_load))
# The S is sent at t_stop; the monitor's clock is only estimated, so the last 50 ms are left
# out of the search, or the stop's own silence would count as a gap.
loaded_gaps = gaps(index(t_load), end_loaded - rate // 20)
played = t_stop - (base[0] + first / rate)
heard = (end_loaded - first - sum(g[1] for g in idle_gaps + loaded_gaps) * rate / 1000) / rate
# The recording holds the whole session; its sound runs from the PMM to the S.
with wave.open(wav) as f:
    rec = struct.unpack("<%dh" % f.getnframes(), f.readframes(f.getnframes()))
rec_first = next((i for i in range(len(rec)) if abs(rec[i]) > 64), 0)
rec_last = next((i for i in range(len(rec) - 1, -1, -1) if abs(rec[i]) > 64), 0)
recorded = (rec_last - rec_first) / rate
# The recording is what the bench rendered: a gap in it is the render's own, while a gap only
# in the sink's sound was lost on the way to the sound server.
rec_gaps = gaps(rec_first, rec_last, rec, rec_first)
errors.seek(0)
underruns = [l.strip() for l in errors if "underrun" in l]
print("dropout-check: idle command-to-sound latency %.0f ms" %
      ((base[0] + first / rate - t_play) * 1000))
print("dropout-check: idle %.0f s: %d gaps (at s, ms) %s" % (idle_s, len(idle_gaps), idle_gaps))
print("dropout-check: beside %d busy processes %.0f s: %d gaps (at s, ms) %s" %
      (busy, loaded_s, len(loaded_gaps), loaded_gaps))
commanded = t_stop - t_play  # from the PMM sent to the S sent
print("dropout-check: played %.2f s, heard %.2f s (%+.2f %%); PMM to S %.2f s, recorded %.2f s "
      "(%+.2f %%)" % (played, heard, (heard - played) * 100 / played, commanded, recorded,
                      (recorded - commanded) * 100 / commanded))
print("dropout-check: underruns reported: %d %s" % (len(underruns), underruns))
print("dropout-check: gaps in the recording (at s, ms): %d %s" % (len(rec_gaps), rec_gaps))
start = base[0] + first / rate  # the gaps' times count from here
if probe:
    def stall_line(name, a, b):
        late = [ms for t, ms in stalls if a <= t < b]
        print("dropout-check: machine stalls %s: %d of 10 ms or more, worst %s" %
              (name, sum(ms >= 10 for ms in late),
               "%.1f ms" % max(late) if late else "under 4 ms"))
    stall_line("idle", start, t_load)
    stall_line("beside the busy processes", t_load, t_stop)
ours = []  # the gaps the machine's stalls do not explain
for at, ms in idle_gaps + loaded_gaps:
    near = [(round(t - start, 3), ms_late) for t, ms_late in stalls
            if start + at - 0.2 <= t <= start + at + ms / 1000 + 0.05 and ms_late >= 10]
    # A stall of the machine at least as long as the gap, beside it, explains it: no thread
    # of the bench could run then.
    machine = any(ms_late >= ms for _, ms_late in near)
    if not machine:
        ours.append((at, ms))
    if probe:
        print("dropout-check: gap at %.3f s (%.1f ms): stalls of 10 ms or more near it %s%s" %
              (at, ms, near, " (the machine's)" if machine else ""))
failed = []
if ours:
    failed.append("gaps in the sound")
if abs(heard - played) > played / 100:
    failed.append("the sound heard is more than 1 % off the time played")
if abs(recorded - commanded) > commanded / 100:
    failed.append("the recording is more than 1 % off the time played")
if underruns:
    failed.append("underruns")
if rec_gaps:
    failed.append("gaps in the recording")
if failed:
    print("dropout-check: FAILED: " + "; ".join(failed))
    sys.exit(1)
print("dropout-check: passed")
EOF
