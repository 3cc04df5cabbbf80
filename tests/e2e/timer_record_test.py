#!/usr/bin/env python3
"""The real mivo recording unattended from a timer armed in its settings file.

The settings file carries a timer that starts a few seconds after launch and
runs for one minute, as a previous run leaves it at exit; the input is a WAV
played through --input-file. Without anyone touching it, mivo must arm the
timer at start-up, record, stop, convert (the WAV is kept) and exit by
itself, leaving one track of the timed length and no timer in the settings.
"""
import math
import os
import struct
import subprocess
import sys
import time

from e2e_support import RATE, run_test, write_wav

BYTES_PER_SECOND = RATE * 4
HEADER = 46  # the track header's new form
LEAD = 5     # seconds from launch to the timer's start
MINUTES = 1


def write_tone(path, seconds):
    # 440 Hz repeats exactly every second, so one second is written over and over.
    second = b"".join(struct.pack("<hh", int(8000 * math.sin(2 * math.pi * 440 * i / RATE)) or 1, 4000)
                      for i in range(RATE))
    write_wav(path, second * seconds)


def test(run, failures):
    tmp = run.tmp
    source = os.path.join(tmp, "tone.wav")
    write_tone(source, LEAD + 60 * MINUTES + 10)
    start = int(time.time()) + LEAD
    with open(run.ini, "w", encoding="utf-8") as f:
        f.write(f"RecTempFolder={tmp}\nRecFolder={tmp}\nm_bSilentDivide=0\nRecWav=1\n")
        f.write(f"TIMER_ENABLE=1\nTM_START={start}\nTM_END={start + 60 * MINUTES}\nTM_POWERDOWN=0\n")
    recorder = run.start_mivo("--input-file", source)

    replies = []

    def timer_answers():
        replies.append(run.command("timer"))
        return replies[-1].returncode == 0
    run.wait_until(timer_answers, 20, recorder)
    reply = replies[-1]
    lines = reply.stdout.split("\n")
    if time.time() < start and lines[0] != "armed":
        failures.append(f"the timer was not armed at start-up: {reply.stdout!r} {reply.stderr!r}")
    status = run.command("status").stdout.rstrip("\n").split("\n")
    if len(status) < 5 or not status[4].startswith("タイマ"):
        failures.append(f"the status does not tell of the timer: {status}")

    try:
        code = recorder.wait(LEAD + 60 * MINUTES + 60)
        if code != 0:
            failures.append(f"exit status {code}")
    except subprocess.TimeoutExpired:
        failures.append("the recorder did not end by itself after the timed recording")

    tracks = sorted(n for n in os.listdir(tmp) if n.endswith(".wav") and n != "tone.wav")
    if tracks != ["music001.wav"]:
        failures.append(f"tracks written: {tracks}")
    else:
        size = os.path.getsize(os.path.join(tmp, tracks[0]))
        seconds = (size - HEADER) / BYTES_PER_SECOND
        print(f"the timed track holds {seconds:.2f} s")
        # From the first tick at the start to the first tick 62 s later.
        if not 60 * MINUTES + 1 <= seconds <= 60 * MINUTES + 3:
            failures.append(f"the track holds {seconds:.2f} s")
    with open(run.ini, encoding="utf-8") as f:
        if "TIMER_ENABLE" in f.read():
            failures.append("the finished timer is still in the settings")


if __name__ == "__main__":
    sys.exit(run_test(test))
