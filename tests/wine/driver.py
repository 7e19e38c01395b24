"""fwu.exe in a Wine session worked through its window by fwu-driver.exe; screenshots; fwu.exe's trace."""
import subprocess, time
from pathlib import Path
from lifetime import SetupError, die_with_parent, wait_for

class Driver:
    def __init__(self, run, wine):
        self.run, self.wine, self.files, self.fwu, self.trace_at = run, wine, run.files, None, 0
        self.exe = wine.build / 'tests/win32/fwu-driver.exe'

    def start_fwu(self, exe=None):
        """Starts fwu.exe (default: the build's) and waits for its window; it is closed at exit."""
        exe = exe or self.wine.build / 'app/fwu.exe'
        with open(self.files / 'trace.txt', 'w') as trace, open(self.files / 'stderr.txt', 'w') as err:
            self.fwu = subprocess.Popen([self.wine.loader, exe], env=self.wine.env, stdin=subprocess.DEVNULL,
                                        stdout=trace, stderr=err, preexec_fn=die_with_parent)
        self.run.push(self.close)
        if self.drive('wait-window', '60')[0]:
            raise SetupError(f'the window of {exe} did not appear')

    def close(self, kind, error, tb):  # at exit; a box up, say: it goes with the server
        if self.fwu.poll() is None:
            if kind:
                self.shot('screen')
            self.drive('close')
            wait_for(lambda: self.fwu.poll() is not None, 5)

    def drive(self, *args, limit=30):
        """Runs fwu-driver.exe: its exit code (124: stopped) and output lines, logged. Through a file,
        not a pipe, which a Wine service started by the call might hold open."""
        with open(self.run.dir / 'drive.out', 'w+') as out, open(self.run.dir / 'drive.err', 'w+') as err:
            try:
                rc = self.wine.wine(self.exe, *args, stdout=out, stderr=err, timeout=limit).returncode
            except subprocess.TimeoutExpired:
                rc = 124
            lines, notes = [Path(f.name).read_text().splitlines() for f in (out, err)]
        with open(self.files / 'driver.log', 'a') as log:
            log.write(f'{time.monotonic() - self.run.started:.3f} fwu-driver {" ".join(args)}\n')
            log.writelines(f'    {line}\n' for line in lines + notes + [f'exit {rc}'])
        if args[0] == 'press-and-wait':
            with open(self.files / 'status.txt', 'a') as history:
                history.writelines(line.split(' ', 1)[1] + '\n' for line in lines)
        return rc, lines

    def shot(self, name):
        """NAME.png of the screen and NAME-window.png of the tool's window, when it is there."""
        self.drive('redraw')
        time.sleep(0.2)  # for the X server to show what was painted
        for window, file in (('root', f'{name}.png'), ('Device Firmware Update Tool', f'{name}-window.png')):
            subprocess.run(['import', '-window', window, self.files / file], env=self.wine.env,
                           stderr=subprocess.DEVNULL)

    def new_trace(self):
        """The trace's lines since the last call, without carriage returns."""
        data = (self.files / 'trace.txt').read_bytes()
        text, self.trace_at = data[self.trace_at:].decode('latin-1'), len(data)
        return text.replace('\r', '').splitlines()
