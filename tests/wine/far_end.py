"""The programs on the far end of the COM ports: device-sim or line-peer on a pseudo-terminal of its own
(--link), the port mapped to it once they say "line ready"; or any program that says so, such as the
line relay between two ports. Their output and final report go to a run file."""
import subprocess
from pathlib import Path
from lifetime import SRC, SetupError, stop, wait_for

class FarEnd:
    def __init__(self, run, command, name, env=None, ready_s=5):
        """Starts COMMAND, its output in the run file NAME.txt, and waits until it says "line ready"."""
        self.log = run.files / f'{name}.txt'
        with open(self.log, 'w') as out:
            self.proc = run.spawn(command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        if not wait_for(lambda: 'line ready' in self.log.read_text() or self.proc.poll() is not None, ready_s) \
                or 'line ready' not in self.log.read_text():
            raise SetupError(f'{name} did not get ready: {self.log.read_text()}')

    def wait(self, seconds):  # its exit code (124: still running) and report
        rc = 124 if not wait_for(lambda: self.proc.poll() is not None, seconds) else self.proc.returncode
        return rc, self.log.read_text()

    def stop(self):  # as a signal does: it then reports
        return stop(self.proc), self.log.read_text()

def linked(run, wine, n, program, args=(), name=None):
    """PROGRAM --link on a pseudo-terminal of its own, with COMn mapped to it."""
    line = run.dir / f'com{n}.line'
    end = FarEnd(run, [program, '--link', line, *args], name or f'sim-com{n}')
    wine.map(n, line)
    return end

class Devices(dict):
    """The device-sims by COM number, each expecting IMAGE (default: the build's) and outliving the run."""
    def __init__(self, run, wine, image=None, host_build=None):
        super().__init__()
        self.run, self.wine, self.image = run, wine, Path(image or wine.build / 'sample_image.bin').resolve()
        self.program = Path(host_build or SRC / 'build/host').resolve() / 'sim/device-sim'

    def start(self, n, args=(), name=None):
        """A device-sim on COMn, replacing the one there."""
        if n in self:
            self[n].stop()
        self[n] = linked(self.run, self.wine, n, self.program,
                         ['--image', self.image, '--timeout-s', self.run.limit_s + 60, *args], name)
        return self[n]
