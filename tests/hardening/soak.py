#!/usr/bin/env python3
"""Soak run of the console program: with a looping music and sound effects loaded, fire a few
thousand random commands (plays, stops, pauses, resumes, reloads of the playing slots) at the
running program on the real audio device for about a minute, then quit. Passes when the
program ends with "Done." and exit status 0 and its resident size at the end is within a few
MiB of what it was once everything was loaded.

    soak.py OPLBENCH EXAMPLES_DIR   (OPLBENCH_SOAK_SECONDS overrides the 60 s)
Exit 77 (skipped) when no PulseAudio daemon answers.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
RSS_SLACK_KIB = 4 * 1024


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def main():
    program, examples = os.path.abspath(sys.argv[1]), sys.argv[2]
    seconds = float(os.environ.get("OPLBENCH_SOAK_SECONDS", "60"))
    # Only the tests' own sound server (scripts/pulse.sh) is played into.
    if "OPLBENCH_SOUND_SERVER" not in os.environ:
        print("skipped: no private sound server (scripts/pulse.sh sets OPLBENCH_SOUND_SERVER)")
        return SKIP
    if subprocess.run(["pactl", "info"], capture_output=True).returncode != 0:
        print("skipped: the private sound server does not answer")
        return SKIP
    work = tempfile.mkdtemp(prefix="oplbench-soak-")
    try:
        for name in os.listdir(examples):
            if name.endswith(".vgm"):
                shutil.copy(os.path.join(examples, name), work)
        effects = sorted(n for n in os.listdir(work) if n != "music.vgm" and n.endswith(".vgm"))
        if not os.path.exists(os.path.join(work, "music.vgm")) or len(effects) < 3:
            print("examples/ lacks music.vgm and effects")
            return 1
        rng = random.Random(1234)
        out = open(os.path.join(work, "stdout.txt"), "wb")
        proc = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=out,
                                stderr=subprocess.STDOUT, cwd=work)

        def send(line):
            proc.stdin.write((line + "\n").encode())
            proc.stdin.flush()

        send("LM music.vgm")
        for slot in (1, 2, 3):
            send(f"L{slot} {effects[slot - 1]}")
        send("PMM")
        for ch in range(6):
            send(f"P{ch}{1 + ch % 3}")
        time.sleep(3)
        start_rss = rss_kib(proc.pid)

        commands = 0
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            kind = rng.random()
            if kind < 0.40:
                send(f"P{rng.choice('M012345')}{rng.choice('M123')}")
            elif kind < 0.60:
                send(f"S{rng.choice(['', 'M', '0', '1', '2', '3', '4', '5'])}")
            elif kind < 0.70:
                send("E")
            elif kind < 0.80:
                send("R")
            elif kind < 0.90:
                send(f"L{rng.choice('123')} {rng.choice(effects)}")
            else:
                send("LM music.vgm")
                send("PMM")
            commands += 1
            time.sleep(rng.uniform(0.005, 0.03))
        end_rss = rss_kib(proc.pid)
        proc.stdin.close()   # end of input quits
        code = proc.wait(timeout=30)
        out.close()
        text = open(os.path.join(work, "stdout.txt"), "rb").read().decode(errors="replace")
        print(f"commands: {commands} in {seconds:.0f} s; resident size {start_rss} KiB at the "
              f"start, {end_rss} KiB at the end ({end_rss - start_rss:+d} KiB); exit {code}")
        ok = True
        if code != 0:
            print("FAIL: exit status", code); ok = False
        if not text.endswith("Done.\n"):
            print("FAIL: output does not end with Done.:", text[-200:]); ok = False
        if "Load Error" in text:
            print("FAIL: a load failed"); ok = False
        if end_rss - start_rss > RSS_SLACK_KIB:
            print("FAIL: resident size grew by more than", RSS_SLACK_KIB, "KiB"); ok = False
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
