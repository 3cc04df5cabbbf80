#!/usr/bin/env python3
"""The real mivo killed with SIGKILL in the middle of a track.

mivo records from --input-file a stream whose every frame is different; it
is killed while recording. The track's header on disk must declare all but
at most the last two seconds of what reached the file (read from the header
itself: ffprobe reads to the end of a file whatever its header says). The
next start recovers it and converts it: with WAV output its audio is a
stretch of the played audio, sample for sample; with MP3 output an MP3 of
its length comes out. A queue journal of random bytes or cut short, and a
journal on a full disk, never keep the recorder from starting and recording.
"""
import os
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time

from e2e_support import RATE, run_test, write_wav

BYTES_PER_SECOND = RATE * 4
HEADER = 46


def counting_frames(seconds):
    # Frame i is (i % 30000 - 15000, i // 30000 + 1): no two are alike.
    return b"".join(struct.pack("<hh", i % 30000 - 15000, i // 30000 + 1) for i in range(int(seconds * RATE)))


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


class Recorder:
    """One run of mivo, started itself and guarded by a separate killer."""

    def __init__(self, run, ini, source, log):
        self.run, self.ini, self.log = run, ini, log
        self.out = open(log, "w")
        self.proc = run.spawn([run.mivo, "--config", ini, "--input-file", source], stdout=self.out,
                              stderr=subprocess.STDOUT)
        self.guard = threading.Timer(90, self.proc.kill)
        self.guard.start()
        if not run.wait_until(lambda: self.cmd("status").returncode == 0, 20, self.proc):
            raise RuntimeError("the recorder did not come up: " + self.text())

    def cmd(self, command):
        return self.run.command(command, ini=self.ini)

    def text(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def end(self, sig=None):
        """Quits once the queue is empty (or sends `sig`); returns the output."""
        if sig is not None:
            self.proc.send_signal(sig)
        else:
            deadline = time.time() + 30
            while self.cmd("quit").returncode != 0 and time.time() < deadline:
                time.sleep(0.1)
        self.proc.wait(30)
        self.guard.cancel()
        self.out.close()
        return self.text()


def setup(run, name, extra=""):
    folder = os.path.join(run.tmp, name)
    os.makedirs(os.path.join(folder, "rec"))
    os.makedirs(os.path.join(folder, "out"))
    ini = os.path.join(folder, "mivo.ini")
    with open(ini, "w", encoding="utf-8") as f:
        f.write(f"RecTempFolder={folder}/rec\nRecFolder={folder}/out\nm_bSilentDivide=0\n{extra}")
    return folder, ini


def killed_while_recording(run, name, extra, source, failures):
    """Records about four seconds, SIGKILL; checks the header; returns folder, ini, track bytes."""
    folder, ini = setup(run, name, extra)
    rec = Recorder(run, ini, source, os.path.join(folder, "first.log"))
    if rec.cmd("rec").returncode != 0:
        failures.append(f"{name}: rec was refused")
    time.sleep(4.0)
    rec.end(signal.SIGKILL)
    track = os.path.join(folder, "rec", "music001.wav")
    with open(track, "rb") as f:
        data = f.read()
    on_disk = len(data) - HEADER
    declared = u32(data, 42)
    if not (declared % 4 == 0 and 0 < declared <= on_disk and on_disk - declared <= 2 * BYTES_PER_SECOND):
        failures.append(f"{name}: the header declares {declared} of the {on_disk} bytes on disk")
    if u32(data, 4) != declared + 38:
        failures.append(f"{name}: RIFF size {u32(data, 4)} for data size {declared}")
    return folder, ini, data


def test(run, failures):
    played = counting_frames(30)
    source = os.path.join(run.tmp, "input.wav")
    write_wav(source, played)
    silence = os.path.join(run.tmp, "silence.wav")
    write_wav(silence, bytes(4 * RATE))

    # WAV output: the recovered track is the played audio, sample for sample.
    folder, ini, killed = killed_while_recording(run, "wav", "RecWav=1\n", source, failures)
    journal = open(ini + ".journal", "rb").read()
    rec = Recorder(run, ini, silence, os.path.join(folder, "second.log"))
    said = rec.end()
    if "1 track(s) of an earlier run recovered and queued" not in said:
        failures.append("wav: the recovery was not told: " + said)
    with open(os.path.join(folder, "rec", "music001.wav"), "rb") as f:
        track = f.read()
    audio = track[HEADER:]
    whole = (len(killed) - HEADER) // 4 * 4
    if len(audio) != whole or u32(track, 42) != whole:
        failures.append(f"wav: {len(audio)} bytes recovered, data size {u32(track, 42)}, {whole} on disk")
    start = played.find(audio[:4])
    if start < 0 or start % 4 != 0 or played[start:start + len(audio)] != audio:
        failures.append("wav: the recovered audio is not the played audio")

    # MP3 output: an MP3 of the track's length, and the WAV goes.
    folder, ini, killed = killed_while_recording(run, "mp3", "RecWav=0\nRecMp3=1\n", source, failures)
    rec = Recorder(run, ini, silence, os.path.join(folder, "second.log"))
    rec.end()
    mp3 = os.path.join(folder, "out", "music001.mp3")
    seconds = (len(killed) - HEADER) // 4 / RATE
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", mp3],
                           capture_output=True, text=True)
    if probe.returncode != 0 or abs(float(probe.stdout or 0) - seconds) > 0.1:
        failures.append(f"mp3: {probe.stdout.strip() or probe.stderr.strip()} s of MP3 for {seconds:.3f} s")
    if os.path.exists(os.path.join(folder, "rec", "music001.wav")):
        failures.append("mp3: the WAV is still there")

    # A journal of random bytes, and one cut short: set aside, told, and recording goes on.
    for name, damaged in (("random", os.urandom(300)), ("cut", journal[:-5])):
        folder, ini = setup(run, name, "RecWav=1\n")
        with open(ini + ".journal", "wb") as f:
            f.write(damaged)
        rec = Recorder(run, ini, source, os.path.join(folder, "run.log"))
        rec.cmd("rec")
        time.sleep(1.5)
        rec.cmd("stop")
        said = rec.end()
        if f"set aside as {ini}.journal.bad" not in said or open(ini + ".journal.bad", "rb").read() != damaged:
            failures.append(f"{name}: the damaged journal was not set aside and told: " + said)
        if not os.path.exists(os.path.join(folder, "rec", "music001.wav")):
            failures.append(f"{name}: nothing was recorded")

    # The journal's disk is full: told, and recording and conversion go on.
    if os.geteuid() == 0 and shutil.which("mount"):
        folder, ini = setup(run, "full", "RecWav=1\n")
        disk = os.path.join(folder, "disk")
        os.mkdir(disk)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk]).returncode == 0:
            try:
                shutil.copy(ini, os.path.join(disk, "mivo.ini"))
                with open(os.path.join(disk, "filler"), "wb") as f:
                    try:
                        f.write(bytes(1 << 20))
                    except OSError:
                        pass
                ini = os.path.join(disk, "mivo.ini")
                rec = Recorder(run, ini, source, os.path.join(folder, "run.log"))
                rec.cmd("rec")
                time.sleep(1.5)
                rec.cmd("stop")
                run.wait_until(lambda: rec.cmd("status").stdout.split("\n")[2:3] == ["0"], 20)
                # Saving the settings fails too: a signal ends it without asking anyone.
                said = rec.end(signal.SIGTERM)
                if "queue journal cannot be written" not in said:
                    failures.append("full: the failing journal was not told: " + said)
                if not os.path.exists(os.path.join(folder, "rec", "music001.wav")):
                    failures.append("full: nothing was recorded")
            finally:
                subprocess.run(["umount", disk])
        else:
            print("SKIP: a tmpfs cannot be mounted here")
    else:
        print("SKIP: the full disk needs root")


if __name__ == "__main__":
    sys.exit(run_test(test))
