"""One run's lifetime: a time limit, signals turned into an exit, a private folder, and the processes
and steps that undo what it started, all taken back on every way out; a failing run's files kept."""
import contextlib, ctypes, shutil, signal, subprocess, sys, tempfile, time
from pathlib import Path

SRC = Path(__file__).resolve().parents[2]
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

class SetupError(Exception):  # Wine or a program did not come up
    pass

def on_signal(signum, frame):
    raise TimeoutError('the run went over its time limit') if signum == signal.SIGALRM else SystemExit(128 + signum)

def die_with_parent():  # so that a runner killed outright leaves no Xvfb or device-sim behind
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG

def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.05)
    return predicate()

def stop(proc):  # as a signal does, so that a simulator still reports; killed if it will not go
    proc.terminate()
    if not wait_for(lambda: proc.poll() is not None, 10):
        proc.kill()
    return proc.wait()

class Run(contextlib.ExitStack):
    """Files in `files`, scratch in `dir`; `callback`s and `push`es are undone last first, at exit."""
    def __init__(self, out=None, keep=False, limit_s=300):
        super().__init__()
        self.out, self.keep, self.limit_s, self.started = out and Path(out), keep, limit_s, time.monotonic()

    def __enter__(self):
        for signum in SIGNALS | {signal.SIGALRM}:
            signal.signal(signum, on_signal)
        signal.alarm(self.limit_s)
        self.dir = Path(tempfile.mkdtemp(prefix='fwu-wine.'))
        self.files = self.dir / 'files'
        self.files.mkdir()
        return super().__enter__()

    def spawn(self, args, **how):  # a process that dies with the runner and is stopped at exit
        proc = subprocess.Popen(list(map(str, args)), preexec_fn=die_with_parent, **how)
        self.callback(stop, proc)
        return proc

    def __exit__(self, kind, error, tb):
        signal.alarm(0)
        signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)  # nothing cuts the cleanup short
        try:
            return super().__exit__(kind, error, tb)  # each undo runs even when one before it failed
        finally:
            if self.out and (kind or self.keep):
                shutil.rmtree(self.out, ignore_errors=True)
                shutil.copytree(self.files, self.out)
                print(f'fwu_wine: files kept in {self.out}', file=sys.stderr)
            elif self.out and (self.out / 'driver.log').exists():
                shutil.rmtree(self.out)  # an earlier run's
            shutil.rmtree(self.dir, ignore_errors=True)
            signal.pthread_sigmask(signal.SIG_UNBLOCK, SIGNALS)
