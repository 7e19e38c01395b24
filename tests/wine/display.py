"""An X display for the run's windows: Xvfb on a display number it picks itself (-displayfd)."""
import os, subprocess

def xvfb(run):  # its display name, ':N'
    reader, writer = os.pipe()
    run.spawn(['Xvfb', '-displayfd', writer, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
              pass_fds=(writer,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(writer)
    with os.fdopen(reader) as numbers:
        return ':' + numbers.readline().strip()
