#!/usr/bin/env python3
"""The whole update over a real line: fwu-linux (the job with the POSIX port) against device-sim on a
pseudo-terminal, started and stopped by the Wine runner's lifetime and far-end parts.

  linux_update.py BUILD_DIR CASE

CASE: complete (a paced line, a device powered up late, a lost contact reply and a lost block reply) |
bad-flash (a flash byte that does not take: FAILED). Both check the usage first."""
import re, subprocess, sys, time
from pathlib import Path
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'wine'))
from far_end import FarEnd
from lifetime import Run

SIM_ARGS = {'complete': '--pace --power-up-ms 3000 --fault contact:1:drop --fault block:20:drop',
            'bad-flash': '--bad-flash 0x08010000'}
# What each case's last status, trace and device report hold: (pattern, how many lines at least, at most).
WANT = {'complete': [('^status: Programming Completed$', 1, 1), (' - SENT - - OK$', 114, 114), ('^CRCs match$', 1, 1),
                     ('TIMEOUT', 1, 999), ('^CONTACTING', 5, 999), ('^  result: pass$', 1, 1)],
        'bad-flash': [('^status: FAILED$', 1, 1), ('^CRC FAIL$', 1, 1), ('^  flash holds .*: NO$', 1, 1)]}

def main(build, case):
    tool = [f'{build}/app/fwu-linux']
    bad = subprocess.run(tool + ['--bogus'], capture_output=True, text=True)
    if bad.returncode != 2 or '\nusage: fwu-linux --port' not in bad.stderr:
        return f'a bad argument gave exit {bad.returncode} and no usage: {bad.stderr}'
    with Run(limit_s=150) as run:
        line = run.dir / 'line'
        sim = FarEnd(run, [f'{build}/sim/device-sim', '--link', line, '--image', f'{build}/sample_image.bin',
                           '--timeout-s', 120, '--linger-ms', 300, *SIM_ARGS[case].split()], 'sim')
        started = time.monotonic()
        done = subprocess.run(tool + ['--port', line, '--image', f'{build}/sample_image.bin', '--limit-s', '100'],
                              capture_output=True, text=True)
        took_s = time.monotonic() - started
        # The failed tool never resets the device: its wait is ended, and it reports.
        sim_rc, report = sim.wait(30) if case == 'complete' else sim.stop()
    print(f'{case}: fwu-linux exit {done.returncode} in {took_s:.1f} s; device-sim exit {sim_rc}')
    text = '\n'.join([done.stdout, *done.stderr.splitlines()[-1:], report])
    counts = [(len(re.findall(p, text, re.M)), p, least, most) for p, least, most in WANT[case]]
    faults = [f'{n} lines match {p!r}, expected {least} to {most}' for n, p, least, most in counts if not least <= n <= most]
    if (done.returncode, sim_rc if case == 'complete' else 1) != ((0, 0) if case == 'complete' else (1, 1)):
        faults.append(f'fwu-linux exit {done.returncode}, device-sim exit {sim_rc}')
    # 114 blocks of 1035 bytes at 11 bits each take 11.3 s on a 115200 baud wire.
    if case == 'complete' and took_s < 11.3:
        faults.append(f'{took_s:.1f} s is faster than the paced line allows')
    return faults and '\n'.join(faults + ['--- device-sim', report, '--- status (last lines)', *done.stderr.splitlines()[-5:],
                                          '--- trace (last lines)', *done.stdout.splitlines()[-20:]])

if __name__ == '__main__':
    problem = main(*sys.argv[1:]) if len(sys.argv) == 3 and sys.argv[2] in SIM_ARGS else 'usage: ' + __doc__
    if problem:
        print(f'FAIL ({sys.argv[2:3]}): {problem}')
    sys.exit(1 if problem else 0)
