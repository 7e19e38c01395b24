"""A private Wine session for the programs of build tree B: a copy of B's prefix template (B/wine-template,
made once and shared by B's runs; made again only for another Wine or architecture), its own TMPDIR and
wineserver, on a display of its own unless one is given; its COM ports map to paths."""
import fcntl, os, shutil, subprocess, sys
from pathlib import Path
from display import xvfb
from lifetime import QUIET, SRC, SetupError

class WineSession:
    def __init__(self, run, build, display=None):
        self.build = Path(build).resolve()
        arch = (self.build / 'wine-arch').read_text().strip()
        why = subprocess.run([SRC / 'scripts/windows-build', '--can-run', arch], capture_output=True, text=True)
        if why.returncode:
            raise SetupError(why.stderr.strip())
        # With the 32-bit part installed, /usr/bin/wine always takes the 32-bit loader.
        self.loader = 'wine' if arch == 'win32' else '/usr/lib/wine/wine64'
        (run.dir / 'tmp').mkdir()
        self.env = dict(os.environ, WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=', WINEARCH=arch,
                        TMPDIR=str(run.dir / 'tmp'), WINEPREFIX=str(run.dir / 'prefix'),
                        DISPLAY=display or xvfb(run))
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
        run.callback(self.server, '-k')
        self.server('-p30')
        # Wine's services keep the output of the call that starts them open: started here, by a quick
        # program of the build, with their output discarded.
        self.wine(self.build / 'tests/win32/fwu-driver.exe', 'wait-window', '0', **QUIET)

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

    def map(self, n, path):
        """COMn leads to PATH from now on; to nothing (cannot be opened) without one."""
        link = Path(self.env['WINEPREFIX'], f'dosdevices/com{n}')
        link.unlink(missing_ok=True)
        if path:
            link.symlink_to(path)
