#!/usr/bin/env python3
"""Runs the Windows programs of build tree B under Wine, in a private session (wine_session.py): a copy
of B's prefix template, its own TMPDIR, Xvfb display and wineserver. All it starts is stopped on every
way out (lifetime.py).

  fwu_wine.py update --build B --out DIR [--fwu EXE] [--image FILE] [--sim-args ARGS] [--person]
      one whole update on COM3 through fwu.exe's window, pressed by the driver (--person: by whoever
      sees $DISPLAY); keeps the run's files in DIR; exit 0 when the device's flash holds the image
  fwu_wine.py port-tests --build B --line-peer PEER TEST_EXE [-- ARG...]
      the Win32 port tests, COM5 wired to a pseudo-terminal whose far end PEER serves
--host-build (default build/host) holds device-sim and line-peer.
"""
import argparse, os, sys, time
from driver import Driver
from far_end import Devices, linked
from lifetime import Run, SetupError
from wine_session import WineSession

def update_on_com3(a):
    """One whole update through the window; the device-sim's exit code."""
    with Run(a.out, True, 900) as run:
        wine = WineSession(run, a.build, a.person and os.environ['DISPLAY'])
        sim = Devices(run, wine, a.image, a.host_build).start(3, a.sim_args.split())
        driver = Driver(run, wine)
        driver.start_fwu(a.fwu)
        if a.person:
            print('Choose \\\\.\\com3 in the window and press "Update Device".', file=sys.stderr)
            sim.wait(600)
            time.sleep(0.5)
        else:
            driver.drive('select', r'\\.\com3')
            times = driver.drive('press-and-wait', 'Programming Completed', '180', 'FAILED', limit=210)[1]
            (run.files / 'press-to-done.txt').write_text(''.join(line + '\n' for line in times))
        status = [line[7:] for line in driver.drive('show')[1] if line.startswith('status ')]
        (run.files / 'final-status.txt').write_text(''.join(status) + '\n')
        driver.shot('demo')
        return sim.wait(30)[0]

def port_tests(a):
    with Run() as run:
        wine = WineSession(run, a.build)
        linked(run, wine, 5, a.line_peer, ['--timeout-s', run.limit_s + 30], 'line-peer')
        return wine.wine(a.test_exe, *a.test_args, env=dict(wine.env, FWU_TEST_PORT=r'\\.\com5'),
                         timeout=run.limit_s - 10).returncode

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
        return {'update': update_on_com3, 'port-tests': port_tests}[args.command](args) or 0
    except SetupError as error:
        print(f'fwu_wine: {error}', file=sys.stderr)
        return 3

if __name__ == '__main__':
    sys.exit(main())
