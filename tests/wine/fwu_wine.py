#!/usr/bin/env python3
"""Runs the Windows programs of build tree B under Wine, in a private session: a copy of B's prefix
template (B/wine-template, made again only for another Wine or architecture), its own TMPDIR, Xvfb
display and wineserver. All it starts is stopped on every way out.

  fwu_wine.py update --build B --out DIR [--fwu EXE] [--image FILE] [--sim-args ARGS] [--person]
      one whole update on COM3 through fwu.exe's window, pressed by the driver (--person: by whoever
      sees $DISPLAY); keeps the run's files in DIR; exit 0 when the device's flash holds the image
  fwu_wine.py port-tests --build B --line-peer PEER TEST_EXE [-- ARG...]
      the Win32 port tests, COM5 wired to a pseudo-terminal whose far end PEER serves
--host-build (default build/host) holds device-sim and line-peer.
"""
import argparse, ctypes, fcntl, os, shutil, signal, subprocess, sys, tempfile, time
from pathlib import Path

SRC = Path(__file__).resolve().parents[2]
PR_SET_PDEATHSIG = 1
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

class SetupError(Exception):
    pass

def on_signal(signum, frame):
    raise SystemExit(128 + signum)

def over_limit(signum, frame):
    raise TimeoutError('the run went over its time limit')

def die_with_parent():  # so that a runner killed outright leaves no Xvfb or device-sim behind
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)

def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.05)
    return predicate()

class Sim:
    """A device-sim or line peer on a pseudo-terminal; its output and final report go to `log`."""

    def __init__(self, proc, log):
        self.proc, self.log = proc, log

    def wait(self, seconds):  # its exit code (124: still running) and report
        rc = 124 if not wait_for(lambda: self.proc.poll() is not None, seconds) else self.proc.returncode
        return rc, self.log.read_text()

    def stop(self):  # as a signal does: it then reports
        self.proc.terminate()
        if self.wait(10)[0] == 124:
            self.proc.kill()
        return self.proc.wait(), self.log.read_text()

class Session:
    def __init__(self, build, host_build=None, out=None, keep=False, image=None, display=None, limit_s=300):
        self.build = Path(build).resolve()
        self.host = Path(host_build or SRC / 'build/host').resolve()
        self.out, self.keep, self.limit_s, self.display = out and Path(out), keep, limit_s, display
        self.image = Path(image or self.build / 'sample_image.bin').resolve()
        self.driver = self.build / 'tests/win32/fwu-driver.exe'
        self.procs, self.sims, self.fwu, self.env, self.trace_at = [], {}, None, None, 0
        self.started = time.monotonic()

    def __enter__(self):
        for signum in SIGNALS:
            signal.signal(signum, on_signal)
        signal.signal(signal.SIGALRM, over_limit)
        signal.alarm(self.limit_s)
        self.dir = Path(tempfile.mkdtemp(prefix='fwu-wine.'))
        self.files = self.dir / 'files'
        self.files.mkdir()
        (self.dir / 'tmp').mkdir()
        try:
            self.start()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def start(self):
        arch = (self.build / 'wine-arch').read_text().strip()
        why = subprocess.run([SRC / 'scripts/windows-build', '--can-run', arch], capture_output=True, text=True)
        if why.returncode:
            raise SetupError(why.stderr.strip())
        # With the 32-bit part installed, /usr/bin/wine always takes the 32-bit loader.
        self.loader = 'wine' if arch == 'win32' else '/usr/lib/wine/wine64'
        self.env = dict(os.environ, WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=', WINEARCH=arch,
                        TMPDIR=str(self.dir / 'tmp'), WINEPREFIX=str(self.dir / 'prefix'),
                        DISPLAY=self.display or self.start_xvfb())
        if arch == 'win64':
            self.env['WINELOADER'] = self.loader  # for the programs Wine starts itself
        template = self.build / 'wine-template'
        with open(f'{template}.lock', 'w') as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)  # while it is checked and perhaps made
            stamp = self.wine('--version', capture_output=True, text=True).stdout.strip() + ' ' + arch
            if not (template / '.fwu-template').is_file() or (template / '.fwu-template').read_text() != stamp:
                self.make_template(template, stamp)
            fcntl.flock(lock, fcntl.LOCK_SH)  # while it is copied
            # Wine writes into the prefix: a whole copy, blocks shared where the file system can.
            subprocess.run(['cp', '-a', '--reflink=auto', template, self.env['WINEPREFIX']], check=True)
        self.server('-p30')
        # Wine's services keep the output of the call that starts them open: not the trace's.
        self.wine(self.driver, 'wait-window', '0', **QUIET)

    def start_xvfb(self):
        reader, writer = os.pipe()
        self.spawn(['Xvfb', '-displayfd', writer, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                   pass_fds=(writer,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(writer)
        with os.fdopen(reader) as numbers:
            return ':' + numbers.readline().strip()

    # Started before any program, its output discarded: it would keep the output of the call that
    # starts it. It lingers 30 s after its last program (-p30), not for ever; -k ends it.
    def server(self, how, env=None):
        subprocess.run(['wineserver', how], env=env or self.env, **QUIET)

    def make_template(self, template, stamp):
        print(f'fwu_wine: making the prefix template {template} ({stamp})', file=sys.stderr)
        new = Path(f'{template}.new')
        shutil.rmtree(template, ignore_errors=True)
        shutil.rmtree(new, ignore_errors=True)
        env = dict(self.env, WINEPREFIX=str(new))
        self.server('-p30', env)
        try:
            self.wine('wineboot', '-i', env=env, check=True, **QUIET)
            # No window manager under Xvfb: unmanaged windows keep their caption and hide at once.
            self.wine('reg', 'add', r'HKCU\Software\Wine\X11 Driver', '/v', 'Managed', '/d', 'N', '/f', env=env,
                      check=True, **QUIET)
            for font in Path('/usr/share/wine/fonts').iterdir():  # the dialog's fonts, not DejaVu
                shutil.copy(font, new / 'drive_c/windows/Fonts')
        finally:
            self.server('-k', env)  # which writes the registry
        if '"Managed"="N"' not in (new / 'user.reg').read_text():
            raise SetupError('the prefix template was not made')
        (new / '.fwu-template').write_text(stamp)
        new.rename(template)

    def wine(self, *args, **how):
        return subprocess.run([self.loader, *map(str, args)], **{'env': self.env, 'stdin': subprocess.DEVNULL, **how})

    def spawn(self, args, **how):
        self.procs.append(subprocess.Popen(list(map(str, args)), preexec_fn=die_with_parent, **how))
        return self.procs[-1]

    def map(self, n, path):
        """COMn leads to PATH from now on; to nothing (cannot be opened) without one."""
        link = Path(self.env['WINEPREFIX'], f'dosdevices/com{n}')
        link.unlink(missing_ok=True)
        if path:
            link.symlink_to(path)

    def serve(self, n, program, args=(), name=None):
        """Maps COMn to the pseudo-terminal of PROGRAM --link, once its line is ready."""
        line, log = self.dir / f'com{n}.line', self.files / f'{name or f"sim-com{n}"}.txt'
        with open(log, 'w') as out:
            proc = self.spawn([program, '--link', line, *args], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT)
        if not wait_for(lambda: 'line ready' in log.read_text() or proc.poll() is not None, 5) \
                or 'line ready' not in log.read_text():
            raise SetupError(f'{program} for COM{n} did not get ready: {log.read_text()}')
        self.map(n, line)
        return Sim(proc, log)

    def sim(self, n, args=(), name=None):
        """A device-sim on COMn, replacing the one there, expecting the session's image."""
        if n in self.sims:
            self.sims[n].stop()
        self.sims[n] = self.serve(n, self.host / 'sim/device-sim',
                                  ['--image', self.image, '--timeout-s', self.limit_s + 60, *args], name)
        return self.sims[n]

    def start_fwu(self, exe=None):
        exe = exe or self.build / 'app/fwu.exe'
        with open(self.files / 'trace.txt', 'w') as trace, open(self.files / 'stderr.txt', 'w') as err:
            self.fwu = subprocess.Popen([self.loader, exe], env=self.env, stdin=subprocess.DEVNULL, stdout=trace,
                                        stderr=err, preexec_fn=die_with_parent)
        if self.drive('wait-window', '60')[0]:
            raise SetupError(f'the window of {exe} did not appear')

    def drive(self, *args, limit=30):
        """Runs fwu-driver.exe: its exit code (124: stopped) and output lines, logged. Through a file,
        not a pipe, which a Wine service started by the call might hold open."""
        with open(self.dir / 'drive.out', 'w+') as out, open(self.dir / 'drive.err', 'w+') as err:
            try:
                rc = self.wine(self.driver, *args, stdout=out, stderr=err, timeout=limit).returncode
            except subprocess.TimeoutExpired:
                rc = 124
            lines, notes = [Path(f.name).read_text().splitlines() for f in (out, err)]
        with open(self.files / 'driver.log', 'a') as log:
            log.write(f'{time.monotonic() - self.started:.3f} fwu-driver {" ".join(args)}\n')
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
            subprocess.run(['import', '-window', window, self.files / file], env=self.env, stderr=subprocess.DEVNULL)

    def new_trace(self):
        """The trace's lines since the last call, without carriage returns."""
        data = (self.files / 'trace.txt').read_bytes()
        text, self.trace_at = data[self.trace_at:].decode('latin-1'), len(data)
        return text.replace('\r', '').splitlines()

    def __exit__(self, kind, error, tb):
        signal.alarm(0)
        signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)  # nothing cuts the cleanup short
        try:
            if self.fwu and self.fwu.poll() is None:
                if kind:
                    self.shot('screen')
                self.drive('close')
                wait_for(lambda: self.fwu.poll() is not None, 5)  # a box up, say: it goes with the server
        except (OSError, subprocess.SubprocessError) as failure:  # the rest must still happen
            print(f'fwu_wine: while closing fwu.exe: {failure}', file=sys.stderr)
        for sim in self.sims.values():
            sim.stop()
        if self.env:
            self.server('-k')
        for proc in self.procs:
            proc.terminate()
            proc.wait()
        if self.out and (kind or self.keep):
            shutil.rmtree(self.out, ignore_errors=True)
            shutil.copytree(self.files, self.out)
            print(f'fwu_wine: files kept in {self.out}', file=sys.stderr)
        elif self.out and (self.out / 'driver.log').exists():
            shutil.rmtree(self.out)  # an earlier run's
        shutil.rmtree(self.dir, ignore_errors=True)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, SIGNALS)

def update(a):
    with Session(a.build, a.host_build, a.out, True, a.image, a.person and os.environ['DISPLAY'], 900) as s:
        sim = s.sim(3, a.sim_args.split())
        s.start_fwu(a.fwu)
        if a.person:
            print('Choose \\\\.\\com3 in the window and press "Update Device".', file=sys.stderr)
            sim.wait(600)
            time.sleep(0.5)
        else:
            s.drive('select', r'\\.\com3')
            times = s.drive('press-and-wait', 'Programming Completed', '180', 'FAILED', limit=210)[1]
            (s.files / 'press-to-done.txt').write_text(''.join(line + '\n' for line in times))
        status = [line[7:] for line in s.drive('show')[1] if line.startswith('status ')]
        (s.files / 'final-status.txt').write_text(''.join(status) + '\n')
        s.shot('demo')
        return sim.wait(30)[0]

def port_tests(a):
    with Session(a.build, a.host_build) as s:
        s.serve(5, a.line_peer, ['--timeout-s', s.limit_s + 30], 'line-peer')
        s.env['FWU_TEST_PORT'] = r'\\.\com5'
        return s.wine(a.test_exe, *a.test_args, timeout=s.limit_s - 10).returncode

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('command', choices=('update', 'port-tests'))
    for option in ('--build', '--host-build', '--out', '--fwu', '--image', '--line-peer'):
        parser.add_argument(option, required=option == '--build')
    parser.add_argument('--sim-args', default='')
    parser.add_argument('--person', action='store_true')
    parser.add_argument('test_exe', nargs='?')
    parser.add_argument('test_args', nargs='*')
    args = parser.parse_intermixed_args()
    try:
        return {'update': update, 'port-tests': port_tests}[args.command](args) or 0
    except SetupError as error:
        print(f'fwu_wine: {error}', file=sys.stderr)
        return 3

if __name__ == '__main__':
    sys.exit(main())
