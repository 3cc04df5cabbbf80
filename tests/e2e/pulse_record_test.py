#!/usr/bin/env python3
"""The real mivo recording from a real PulseAudio server.

A private daemon with a null sink is started; a WAV with two tones separated
by digital silence is played into the sink while mivo, driven by
`mivo --command rec|stop`, records the sink's monitor with silence splitting
on. The two tracks written must hold the two tones sample for sample (the
splitter keeps at most one buffer of silence around each, which is stripped
before comparing).

Then a run with --input-file while the settings name the sink's monitor,
which is there: the track holds the file, and the stored device name is
left as it was.
"""
import math
import os
import struct
import subprocess
import sys
import time
import wave

from e2e_support import RATE, run_test, write_wav


def tone(seconds, freq_l, freq_r, amp):
    n = int(seconds * RATE)
    frames = bytearray()
    for i in range(n):
        # A phase offset keeps the first and last samples away from zero.
        l = int(amp * math.sin(2 * math.pi * freq_l * i / RATE + 0.7))
        r = int(amp * 0.8 * math.sin(2 * math.pi * freq_r * i / RATE + 1.1))
        frames += struct.pack("<hh", l or 1, r or 1)
    return bytes(frames)


def silence(seconds):
    return bytes(4 * int(seconds * RATE))


def read_wav_frames(path):
    with wave.open(path, "rb") as w:
        assert w.getnchannels() == 2 and w.getsampwidth() == 2 and w.getframerate() == RATE
        return w.readframes(w.getnframes())


def strip_zero_frames(data):
    start, end = 0, len(data)
    while start < end and data[start:start + 4] == b"\0\0\0\0":
        start += 4
    while end > start and data[end - 4:end] == b"\0\0\0\0":
        end -= 4
    return data[start:end]


def wait_until_up(run, recorder):
    return run.wait_until(lambda: run.command("status").returncode == 0, 20, recorder)


def drain(run, failures):
    def queue_empty():
        lines = run.command("status").stdout.split("\n")
        return len(lines) >= 3 and lines[2] == "0"
    if not run.wait_until(queue_empty, 20):
        failures.append("the queue did not drain")


def quit_and_wait(run, recorder, failures):
    quit_reply = run.command("quit")
    if quit_reply.returncode != 0:
        failures.append("quit was refused: " + quit_reply.stderr)
    try:
        recorder.wait(10)
    except subprocess.TimeoutExpired:
        failures.append("the recorder did not end after quit")


def record_input_file(run, rec, failures):
    """--input-file is the input of the run, whatever device is stored."""
    stored = "WaveInDevName=Monitor of RecTestSink\n"
    with open(run.ini, "w", encoding="utf-8") as f:
        f.write(stored)
        f.write(f"RecTempFolder={rec}\nRecFolder={rec}\nRecFilePre=file\n")
        f.write("m_bSilentDivide=1\nRecSilentThreshold=0\nRecSilentTimeSpan=1\nRecWav=1\n")
    tone_c = tone(1.0, 500, 700, 10000)
    source = os.path.join(run.tmp, "side-a.wav")
    # Silence first: REC comes once the recorder answers, the file plays from its start.
    write_wav(source, silence(2.5) + tone_c + silence(1.0))
    recorder = run.start_mivo("--input-file", source)
    if not wait_until_up(run, recorder):
        failures.append("--input-file: the recorder did not come up")
        return
    if run.command("rec").returncode != 0:
        failures.append("--input-file: rec was refused")
    time.sleep(4.0)
    run.command("stop")
    drain(run, failures)
    quit_and_wait(run, recorder, failures)
    track = os.path.join(rec, "file001.wav")
    if not os.path.exists(track):
        failures.append("--input-file: no track was written")
    elif strip_zero_frames(read_wav_frames(track)) != tone_c:
        failures.append("--input-file: the track does not hold the file")
    with open(run.ini, encoding="utf-8") as f:
        if stored not in f.read():
            failures.append("--input-file: the stored WaveInDevName was changed")


def test(run, failures):
    log = os.path.join(run.tmp, "pa.log")
    run.spawn(["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
               "--load=module-native-protocol-unix",
               "--load=module-null-sink sink_name=recsink sink_properties=device.description=RecTestSink",
               f"--log-target=file:{log}"],
              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not run.wait_until(lambda: subprocess.run(["pactl", "info"], env=run.env,
                                                 capture_output=True).returncode == 0, 15):
        failures.append("the PulseAudio daemon did not come up")
        return

    rec = os.path.join(run.tmp, "rec")
    out = os.path.join(run.tmp, "out")
    os.mkdir(rec)
    os.mkdir(out)
    with open(run.ini, "w", encoding="utf-8") as f:
        f.write("WaveInDevName=Monitor of RecTestSink\n")
        f.write(f"RecTempFolder={rec}\nRecFolder={out}\n")
        f.write("m_bSilentDivide=1\nRecSilentThreshold=0\nRecSilentTimeSpan=1\nRecWav=1\n")

    tone_a = tone(1.0, 440, 550, 12000)
    tone_b = tone(1.5, 660, 330, 9000)
    source = os.path.join(run.tmp, "input.wav")
    write_wav(source, silence(0.3) + tone_a + silence(1.0) + tone_b + silence(0.8))

    recorder = run.start_mivo()
    if not wait_until_up(run, recorder):
        failures.append("the recorder did not come up")
        return
    if run.command("rec").returncode != 0:
        failures.append("rec was refused")
    time.sleep(2.0)  # an idle monitor delivers its first data late
    player = run.spawn(["paplay", "-d", "recsink", source])
    player.wait(30)
    time.sleep(1.0)
    stop = run.command("stop")
    if stop.returncode != 0:
        failures.append("stop was refused: " + stop.stderr)
    # The worker keeps the WAVs; wait until the queue is empty, then quit.
    drain(run, failures)
    quit_and_wait(run, recorder, failures)

    tracks = sorted(n for n in os.listdir(rec) if n.endswith(".wav"))
    if tracks != ["music001.wav", "music002.wav"]:
        failures.append(f"tracks written: {tracks}")
    else:
        for name, expected in (("music001.wav", tone_a), ("music002.wav", tone_b)):
            got = strip_zero_frames(read_wav_frames(os.path.join(rec, name)))
            if got != expected:
                failures.append(f"{name}: {len(got) // 4} frames differ from the {len(expected) // 4} played")

    record_input_file(run, rec, failures)


if __name__ == "__main__":
    sys.exit(run_test(test, tools=("pulseaudio", "paplay", "pactl")))
