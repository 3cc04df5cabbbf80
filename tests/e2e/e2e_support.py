"""What the end-to-end scripts share: a private folder and environment for
the real mivo, the processes started there, 16-bit stereo WAV files, and
the verdict line."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

RATE = 44100


class Run:
    """A temporary folder holding a private runtime folder, a home, the
    settings file mivo.ini and mivo's output (mivo.log). Every process
    started with spawn is ended by cleanup, which then removes the folder."""

    def __init__(self, mivo):
        self.mivo = mivo
        self.tmp = tempfile.mkdtemp(prefix="mivo-e2e-")
        self.env = dict(os.environ)
        run_dir = os.path.join(self.tmp, "run")
        os.mkdir(run_dir, 0o700)
        home = os.path.join(self.tmp, "home")
        os.mkdir(home)
        self.env.update(XDG_RUNTIME_DIR=run_dir, HOME=home, QT_QPA_PLATFORM="offscreen")
        self.env.pop("PULSE_SERVER", None)
        self.ini = os.path.join(self.tmp, "mivo.ini")
        self.log = os.path.join(self.tmp, "mivo.log")
        self.procs = []

    def spawn(self, args, **kw):
        p = subprocess.Popen(args, env=self.env, **kw)
        self.procs.append(p)
        return p

    def start_mivo(self, *args):
        """The recorder on this run's settings; its output goes to mivo.log."""
        with open(self.log, "a", encoding="utf-8") as log:
            return self.spawn([self.mivo, "--config", self.ini, *args], stdout=log, stderr=subprocess.STDOUT)

    def command(self, name, timeout=20, ini=None):
        """`mivo --command NAME` against the recorder running on `ini` (this run's by default)."""
        return subprocess.run([self.mivo, "--config", ini or self.ini, "--command", name], env=self.env,
                              capture_output=True, text=True, timeout=timeout)

    def wait_until(self, ready, seconds, proc=None):
        """Polls ready() for at most `seconds`; False at the bound or when proc has ended."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            if ready():
                return True
            if proc is not None and proc.poll() is not None:
                return False
            time.sleep(0.1)
        return False

    def cleanup(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


def write_wav(path, frames):
    """16-bit stereo frames at RATE."""
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))


def run_test(body, tools=(), missing=lambda: None):
    """Runs body(run, failures) on the mivo named by the first argument and
    returns the exit status: 0 when nothing failed, or when a tool or what
    missing() names (None: nothing) is not installed and the test is skipped.
    On failure mivo's output is shown before its folder is removed."""
    for tool in tools:
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed")
            return 0
    absent = missing()
    if absent is not None:
        print(f"SKIP: {absent} is not installed")
        return 0
    run = Run(sys.argv[1])
    failures = []
    try:
        body(run, failures)
    finally:
        if failures and os.path.exists(run.log):
            with open(run.log, encoding="utf-8", errors="replace") as f:
                output = f.read()
            if output:
                print(output)
        run.cleanup()

    for f in failures:
        print("FAIL:", f)
    print(f"{1 if not failures else 0} passed, {1 if failures else 0} failed")
    return 1 if failures else 0
