#!/usr/bin/env python3
"""The real mivo ending an unattended timed recording with a power action.

A settings file holds a timer armed to start a few seconds ahead for one
minute with the power action POWEROFF + FORCE; mivo starts offscreen, fed by
--input-file, with python3-dbusmock's logind template on a private bus
standing in for the system's. It must restore the timer, ask logind for the
right, take the lock against sleeping, record, convert the track and then
ask logind to power off, forcing, instead of closing. Nothing is ever asked
of the machine's own logind: mivo starts only when the system bus address
names this test's own socket.
"""
import math
import os
import struct
import subprocess
import sys
import time
import wave

from e2e_support import RATE, run_test, write_wav

DURATION = 60  # one minute, as the timer's duration boxes say it
REQUESTS = ("PowerOff", "PowerOffWithFlags", "Reboot", "RebootWithFlags", "TerminateSession")


def write_tone(path, seconds):
    frames = bytearray()
    for i in range(int(seconds * RATE)):
        v = int(9000 * math.sin(2 * math.pi * 440 * i / RATE + 0.7)) or 1
        frames += struct.pack("<hh", v, v)
    write_wav(path, frames)


def wav_seconds(path):
    with wave.open(path, "rb") as w:
        return w.getnframes() / w.getframerate()


class PrivateLogind:
    """The run with a private system bus: its socket, and the log of the
    calls the logind mock on it answers."""

    def __init__(self, run):
        self.run = run
        self.socket = os.path.join(run.tmp, "sysbus")
        self.mock_log = os.path.join(run.tmp, "mock.log")
        run.env["DBUS_SYSTEM_BUS_ADDRESS"] = f"unix:path={self.socket}"
        for name in ("DISPLAY", "XDG_SESSION_ID"):
            run.env.pop(name, None)

    def ours(self):
        return self.run.env.get("DBUS_SYSTEM_BUS_ADDRESS") == f"unix:path={self.socket}"

    def dbus(self, *args, dest="org.freedesktop.login1", path="/org/freedesktop/login1"):
        return subprocess.run(["dbus-send", "--system", "--print-reply", "--reply-timeout=5000",
                               f"--dest={dest}", path, *args],
                              env=self.run.env, capture_output=True, text=True, timeout=10)

    def calls(self, names=None):
        try:
            with open(self.mock_log, encoding="utf-8", errors="replace") as f:
                lines = [line.rstrip("\n").split(" ", 1)[1] for line in f if " " in line]
        except FileNotFoundError:
            return []
        return [c for c in lines if names is None or c.split(" ", 1)[0] in names]


def test(run, failures):
    logind = PrivateLogind(run)
    bus = run.spawn(["dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf", "--nofork",
                     f"--address=unix:path={logind.socket}"],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not run.wait_until(lambda: logind.dbus("org.freedesktop.DBus.GetId", dest="org.freedesktop.DBus",
                                              path="/org/freedesktop/DBus").returncode == 0, 15, bus):
        failures.append("the private bus did not come up")
        return
    mock = run.spawn(["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind",
                      "-l", logind.mock_log], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not run.wait_until(lambda: "boolean true" in logind.dbus(
            "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.login1",
            dest="org.freedesktop.DBus", path="/org/freedesktop/DBus").stdout, 15, mock):
        failures.append("the logind mock did not come up")
        return
    for method in ("PowerOffWithFlags", "RebootWithFlags"):
        if logind.dbus("org.freedesktop.DBus.Mock.AddMethod", "string:org.freedesktop.login1.Manager",
                       f"string:{method}", "string:t", "string:", "string:").returncode != 0:
            failures.append(f"cannot add {method} to the mock")
            return

    rec = os.path.join(run.tmp, "rec")
    out = os.path.join(run.tmp, "out")
    os.mkdir(rec)
    os.mkdir(out)
    source = os.path.join(run.tmp, "input.wav")
    lead = 5
    write_tone(source, lead + DURATION + 10)  # sound for the whole timed minute
    start = int(time.time()) + lead
    with open(run.ini, "w", encoding="utf-8") as f:
        f.write(f"RecTempFolder={rec}\nRecFolder={out}\nRecWav=1\n")
        f.write(f"TIMER_ENABLE=1\nTM_START={start}\nTM_END={start + DURATION}\nTM_POWERDOWN=1\n")
        f.write("m_dwEwxFlag=8\nm_dwEwxForce=4\n")

    # Never a real power action: mivo talks only to this test's own bus.
    if not logind.ours():
        failures.append("DBUS_SYSTEM_BUS_ADDRESS does not name this test's own bus; not starting mivo")
        return
    recorder = run.start_mivo("--input-file", source)
    bound = start + DURATION + 90 - time.time()
    if not run.wait_until(lambda: logind.calls(REQUESTS), bound, recorder):
        failures.append("no power request reached logind"
                        + (f" (mivo ended with {recorder.returncode})" if recorder.poll() is not None else ""))
    time.sleep(1.0)  # anything asked after the first request shows up too

    calls = logind.calls()
    if logind.calls(REQUESTS) != ["PowerOffWithFlags 0"]:
        failures.append(f"power requests: {logind.calls(REQUESTS)}")
    if "CanPowerOff" not in calls:
        failures.append("the restored timer did not ask for the right to power off")
    if not any(c.startswith('Inhibit "sleep:idle" "Mivo"') for c in calls):
        failures.append("no lock against sleeping was taken")
    if recorder.poll() is not None:
        failures.append(f"mivo closed (status {recorder.returncode}) instead of leaving it to the power action")

    tracks = sorted(n for n in os.listdir(rec) if n.endswith(".wav"))
    if len(tracks) != 1:
        failures.append(f"tracks written: {tracks}")
    else:
        # Recording runs from the requested start to two seconds after
        # its end, at whole-second ticks.
        seconds = wav_seconds(os.path.join(rec, tracks[0]))
        if not DURATION - 1 <= seconds <= DURATION + 4:
            failures.append(f"{tracks[0]} holds {seconds:.1f} s")


def missing_dbusmock():
    if subprocess.run(["/usr/bin/python3", "-c", "import dbusmock"], capture_output=True).returncode != 0:
        return "python3-dbusmock"
    return None


if __name__ == "__main__":
    sys.exit(run_test(test, tools=("dbus-daemon", "dbus-send"), missing=missing_dbusmock))
