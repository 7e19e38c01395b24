#!/usr/bin/env python3
"""The end-to-end cases: the real fwu.exe under Wine, worked through its window by fwu-driver.exe
against device-sim. Each RUN is one fwu.exe run (one CTest test) going through its steps in order.

  fwu_e2e.py --build B [--host-build H] [--image FILE] [--out DIR] [--keep] RUN

--image is the image fwu.exe carries (default B/sample_image.bin). The run's files (screenshots,
trace, status history, driver log, device-sim reports) are kept in --out (default B/fwu-e2e/RUN)
when a step fails, or always with --keep.
"""
import argparse, re, subprocess, sys, time
from driver import Driver
from far_end import Devices, FarEnd
from lifetime import Run, SetupError
from wine_session import WineSession

FLASH_BASE, BLOCK = 0x8004000, 1024
UPDATE_S = '180'  # a whole update takes seconds; only a backstop
COMPLETED = 'Programming Completed'
COM3, COM4, COM12 = r'\\.\com3', r'\\.\com4', r'\\.\com12'
LINE_FAULTS = ('--fault block:5:drop --fault block:9:corrupt --fault block:13:split --fault block:17:late '
               '--fault block:21:garbage --fault verify:1:exception --fault contact:1:drop --split-pause-ms 150').split()

class Failure(Exception):
    pass

class Case(Driver):
    """One fwu.exe run worked by the driver, with the device-sims on its ports and the size of the image
    it carries padded to whole blocks, as the tool pads it."""
    def __init__(self, run, build, host_build, image):
        super().__init__(run, WineSession(run, build))
        self.sims = Devices(run, self.wine, image, host_build)
        self.size = -(-self.sims.image.stat().st_size // BLOCK) * BLOCK

def check(ok, message):
    if not ok:
        raise Failure(message)

def show(s):
    """The window's items by kind (caption, button, status, selected, row); the rows less the
    \\\\.\\com1 row that Wine gives /dev/ttyS0 when it can be opened."""
    rc, lines = s.drive('show')
    check(rc == 0, f'the window could not be read: {lines}')
    items = {}
    for kind, _, text in (line.partition(' ') for line in lines):
        items.setdefault(kind, []).append(text)
    rows = items.get('row', [])
    items['ports'] = rows[1:] if rows[:1] == [r'\\.\com1'] else rows
    return items

def select_and_press(s, port, want=COMPLETED, stop=('FAILED',), must=True):
    """Selects PORT, presses, waits for WANT (or a STOP text); the statuses read on the way."""
    check(s.drive('select', port)[0] == 0, f'no row {port} to select; rows: {show(s)["ports"]}')
    rc, lines = s.drive('press-and-wait', want, UPDATE_S, *stop, limit=210)
    statuses = [line.split(' ', 1)[1] for line in lines]
    check(rc == 0 or not must, f'the update over {port} did not end in "{want}": statuses {statuses[-3:]}')
    return statuses

def passes(sim, blocks):
    """The device ended by itself with its flash verified, one reset acknowledged, BLOCKS written;
    its flash's CRC as the tool prints it."""
    rc, report = sim.wait(30)
    for line in (f'  blocks written: {blocks}', '  resets: 1, acknowledged: yes', '  result: pass'):
        check(rc == 0 and line in report.splitlines(), f'device-sim exit {rc}, not "{line.strip()}": {report}')
    flash, image = re.search(r'flash CRC-16/MODBUS over \d+ bytes: (0x\w+) \(image (0x\w+)\)', report).groups()
    check(flash == image, f'device-sim: flash CRC {flash}, image CRC {image}')
    return hex(int(flash, 16))

def attempt(s, port, ok, crc):
    """One press's trace: '=' a line reading the text, '~' one matching it, '*' any number matching it."""
    lines = [('=', f' . Opening serial port {port} at 115200 baud'), ('=', 'CONTACTING...'),
             ('*', r'CONTACTING\.\.\.|RX:( [0-9a-f]{2})+'), ('~', r'RX: 04 2b( [0-9a-f]{2})+'),
             ('=', 'REMOTE DEVICE LINK ESTABLISHED')]
    lines += [('=', f'PROG ADDR {FLASH_BASE + at:#x}, LEN {min(BLOCK, s.size - at):#x}, FROM {at and hex(at)}'
                    '... - SENT - - OK') for at in range(0, s.size, BLOCK)]
    lines += [('=', f'Verifying address {FLASH_BASE:#x}, image size {s.size:#x} bytes'),
              ('=', 'frame length   13 bytes sent')]
    if not ok:
        return lines + [('~', r'Remote CRC 0x[0-9a-f]+'), ('=', f'Local  CRC {crc}'), ('=', 'CRC FAIL')]
    return lines + [('=', f'Remote CRC {crc}'), ('=', f'Local  CRC {crc}'), ('=', 'CRCs match'),
                    ('=', 'Resetting target'), ('=', 'frame length    5 bytes sent'),
                    ('=', 'frame length    5 bytes received & OK')]

def check_trace(s, expected):
    """The trace since the last check reads as EXPECTED, line for line; a run's first check covers the
    header too. On a mismatch, says where: after the longest run of EXPECTED that the trace starts with."""
    if s.trace_at == 0:
        expected = [('=', 'Running on windows version: a00'), ('=', ''), ('=', f'Flash Image Base {FLASH_BASE:#x}'),
                    ('=', f'Flash Image Size {s.size:#x} bytes')] + expected
    lines = s.new_trace()
    text = ''.join(line + '\n' for line in lines)
    parts = [re.escape(item) + '\n' if kind == '=' else f'(?:{item})\n' if kind == '~' else f'(?:(?:{item})\n)*'
             for kind, item in expected]
    if re.fullmatch(''.join(parts), text):
        return lines
    e = max(e for e in range(len(parts) + 1) if re.match(''.join(parts[:e]), text))
    a = text[:re.match(''.join(parts[:e]), text).end()].count('\n')
    want = repr(expected[e][1]) if e < len(expected) else 'the end'
    found = repr(lines[a]) if a < len(lines) else 'the end'
    raise Failure(f'trace line {a + 1} of the step: expected {want}, found {found}')

def check_status_order(s, statuses):
    """The statuses come in the order an update shows them, and end in "Programming Completed"."""
    blocks = s.size // BLOCK
    ranks = {' - Idle - ': 0, 'Contacting Device...': 1, 'Establishing Link...': 2, 'Verifying...': blocks + 3,
             'Program Verified OK': blocks + 4, 'Resetting target...': blocks + 5,
             'Programming Completed OK': blocks + 6, COMPLETED: blocks + 7}
    ranks.update((f'programming {FLASH_BASE + block * BLOCK:#x}', block + 3) for block in range(blocks))
    for before, text in zip([' - Idle - '] + statuses, statuses):
        check(text in ranks, f'unexpected status "{text}"')
        check(ranks[text] >= ranks[before], f'status "{text}" came after "{before}"')
    check(statuses[-1:] == [COMPLETED], f'the last status is {statuses[-1:]}')

def fatal_box(s, text):
    """The fatal box says TEXT and holds the tool; its OK ends the tool with exit code 1."""
    rc, box = s.drive('box', '10')
    check(rc == 0 and box[0] == 'caption Terminate Program', f'no fatal box: {box}')
    check(any(text in line for line in box[1:]), f'box text: {box[1:]}')
    s.shot('box')
    check(s.fwu.poll() is None, 'the tool ended before the box was dismissed')
    check(s.drive('box-ok')[0] == 0, 'the box could not be dismissed')
    check(s.fwu.wait(20) == 1, f'exit code {s.fwu.returncode} after the fatal box, expected 1')

# ---- the steps

def close_ok(s):
    check(s.drive('close')[0] == 0, 'the window could not be closed')
    check(s.fwu.wait(20) == 0, f'exit code {s.fwu.returncode} after closing the window, expected 0')

def full_update(s):
    """A whole update on a paced line: the statuses in their order, the whole trace."""
    check_status_order(s, select_and_press(s, COM3))
    s.shot('final')
    check_trace(s, attempt(s, COM3, True, passes(s.sims[3], s.size // BLOCK)))

def startup(s):
    """The window as it starts (its texts as built are checked on the executable itself), the first row
    selected; nothing traced after the header."""
    window = show(s)
    for kind, want in (('caption', ['Device Firmware Update Tool']), ('button', ['Update Device']),
                       ('status', [' - Idle - ']), ('selected', ['0 ' + window['row'][0]])):
        check(window[kind] == want, f'{kind} at start: {window[kind]}, expected {want}')
    s.shot('startup')
    check_trace(s, [])

def no_selection(s):
    """Text typed into the port box leaves no row selected: a press asks for a port and opens none."""
    check(s.drive('set-text', 'no port')[1] == ['selected -1 no port'], 'typing into the port box left a row selected')
    check(s.drive('press-and-wait', 'Choose a COM port first', '20')[0] == 0, 'no request to choose a port')
    s.shot('no-port')
    check_trace(s, [])

def ports_order(s):
    """COM3 and COM12 with devices, COM7 mapped to nothing: the list offers the two, in port order; the
    com12 row reaches COM12's device only, and no press before reached either."""
    check(show(s)['ports'] == [COM3, COM12], f'rows {show(s)["ports"]}, expected {[COM3, COM12]}')
    select_and_press(s, COM12)
    check_trace(s, attempt(s, COM12, True, passes(s.sims[12], s.size // BLOCK)))
    report = s.sims[3].stop()[1]
    check('\n  line: 0 bytes in, 0 bytes out,' in report, f'the device on COM3 was spoken to: {report}')

def late_power_up(s):
    """The device answers only from 3 s after the tool's first byte: the tool keeps calling."""
    select_and_press(s, COM3)
    trace = check_trace(s, attempt(s, COM3, True, passes(s.sims[3], s.size // BLOCK)))
    check(re.search(r'^  bytes ignored while unpowered or restarting: [1-9]', s.sims[3].log.read_text(), re.M),
          'the device heard nothing before it powered up')
    check(trace.count('CONTACTING...') >= 2, 'one contact request for a device that ignores the first')

def bad_flash_retry(s):
    """One flash bit does not take at first: FAILED, and it stays; a press on the same port again completes."""
    s.sims.start(3, ['--bad-flash', '0x08010000:1'], 'sim-bad-flash')
    select_and_press(s, COM3, 'FAILED', [COMPLETED])
    s.shot('failed')
    size = (s.files / 'trace.txt').stat().st_size
    time.sleep(1)
    check((s.files / 'trace.txt').stat().st_size == size, 'the failed job went on tracing')
    check(show(s)['status'] == ['FAILED'], 'the status left FAILED by itself')
    rc = s.drive('press-and-wait', COMPLETED, UPDATE_S, 'FAILED', limit=210)[0]  # the row is still selected
    check(rc == 0, 'a second press on the same port did not complete')
    crc = passes(s.sims[3], 2 * s.size // BLOCK)
    trace = check_trace(s, attempt(s, COM3, False, crc) + attempt(s, COM3, True, crc))
    remote = [line for line in trace if line.startswith('Remote CRC')]
    check(remote[0] != f'Remote CRC {crc}', 'the failed attempt\'s remote CRC equals the image\'s')

def line_faults(s):
    """Replies to blocks dropped, corrupted, split, late and after noise, a refused verification, a lost
    first contact reply: each costs one resend at most, and the update completes."""
    s.sims.start(3, LINE_FAULTS, 'sim-line-faults')
    select_and_press(s, COM3)
    passes(s.sims[3], s.size // BLOCK + 4)  # four blocks sent twice; the late reply still counts
    trace = s.new_trace()
    for pattern, want, what in (('TIMEOUT$', 4, 'block timeouts'), ('^Verifying address', 2, 'verification requests'),
                                ('^Remote CRC', 1, 'remote CRCs'), ('^CRCs match$', 1, 'CRC matches')):
        found = sum(1 for line in trace if re.search(pattern, line))
        check(found == want, f'{found} {what}, expected {want}')

def random_faults(seed):
    """Random faults on every kind of reply: "Programming Completed" only with the flash verified by
    the device, "FAILED" only where its flash really differs."""
    def step(s):
        sim = s.sims.start(3, ['--random-faults', f'4:{seed}'], f'sim-random-faults-{seed}')
        status = (select_and_press(s, COM3, must=False) or [''])[-1]
        report = sim.wait(30)[1] if status == COMPLETED else sim.stop()[1]
        check(status in (COMPLETED, 'FAILED'), f'neither completed nor failed: "{status}"')
        check(status != COMPLETED or '\n  result: pass' in report, f'completed, but: {report}')
        check(status != 'FAILED' or re.search(r'^  flash holds .*: NO$', report, re.M), f'FAILED, but: {report}')
        s.new_trace()
        print(f'seed {seed}: {status}; {re.search(r"replies faulted.*", report).group()}')
    step.__name__ = f'random_faults_{seed}'
    return step

def relay(s, bits):
    """COM3 and COM4 become the two ends of one line through two USB-serial adapters (line-relay: 62-byte
    packets, 16 ms latency) at 115200 baud and BITS a character."""
    ends = [s.run.dir / f'relay-{bits}-{end}' for end in 'ab']
    FarEnd(s.run, [s.sims.program.parents[1] / 'tests/line-relay', *ends, bits, s.run.limit_s], f'relay-{bits}')
    s.wine.map(3, ends[0])
    s.wine.map(4, ends[1])

def windows_sim(s, name, args=()):
    """device-sim.exe of the build on COM4, in fwu.exe's Wine session."""
    return FarEnd(s.run, [s.wine.loader, s.wine.build / 'sim/device-sim.exe', '--port', 'COM4', '--image',
                          f'Z:{s.sims.image}', '--timeout-s', 120, *args], name, env=s.wine.env, ready_s=30)

def adapter_line(s):
    """Both ends Windows programs over the relay at 11 bits a character (8E1): a whole update, and the
    simulator's line section reads 11 bits per character with a right verdict."""
    sim = windows_sim(s, 'sim-com4-8e1')
    select_and_press(s, COM3)
    rc, report = sim.wait(30)
    check(rc == 0 and '\n  result: pass\n' in report, f'device-sim.exe exit {rc}: {report}')
    check(re.search(r'^    bits per character: 1(0\.[5-9]|1\.[0-4]) ', report, re.M), f'not 11 bits: {report}')
    check('\n    verdict: right: ' in report, f'no right verdict: {report}')

def adapter_line_without_parity(s):
    """The relay at 10 bits a character, as a tool sending 8N1 would: a dozen blocks settle the verdict,
    which says so and fails the simulator."""
    relay(s, 10)
    sim = windows_sim(s, 'sim-com4-8n1', ['--stop-after-blocks', '12'])
    check(s.drive('select', COM3)[0] == 0 and s.drive('press')[0] == 0, 'no press on COM3')
    rc, report = sim.wait(60)
    verdict = r'^    verdict: WRONG: (9\.[5-9]|10\.[0-4]) bits per character: the tool sends without parity$'
    check(rc == 1 and re.search(verdict, report, re.M), f'device-sim.exe exit {rc}: {report}')

def unopenable_port(s):
    """COM4 listed at start, gone before the press: the fatal box; the trace ends with the open line."""
    check(show(s)['ports'] == [COM4], f'rows {show(s)["ports"]}, expected {[COM4]}')
    s.wine.map(4, None)
    check(s.drive('select', COM4)[0] == 0 and s.drive('press')[0] == 0, 'no press on COM4')
    fatal_box(s, 'Unable to open serial port. In use already, or not present')
    check_trace(s, [('=', f' . Opening serial port {COM4} at 115200 baud')])

def missing_image(s):
    fatal_box(s, 'The firmware image (resource BINFILE) is missing from this program')
    check(not any('Flash Image' in line for line in s.new_trace()), 'an image was loaded')

# Each run: what its ports lead to (a list: a device-sim with those arguments; a path; a function that maps
# them) and its steps. 'retry' presses after a completed update and after "FAILED" in one process; the faults
# go in two runs of a size.
RUNS = {
    'full-update': ({3: ['--pace']}, [full_update, close_ok]),
    'window': ({3: [], 12: [], 7: '/nonexistent/fwu-no-such-device'}, [startup, no_selection, ports_order, close_ok]),
    'retry': ({3: ['--power-up-ms', '3000']}, [late_power_up, bad_flash_retry, random_faults(7), close_ok]),
    'line-faults': ({3: []}, [line_faults, random_faults(12), close_ok]),
    'unopenable-port': ({4: []}, [unopenable_port]),
    'missing-image': ({3: []}, [missing_image]),
    'adapter-line': ({3: lambda s: relay(s, 11)}, [adapter_line, adapter_line_without_parity, close_ok]),
}

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ('--build', '--host-build', '--image', '--out'):
        parser.add_argument(option, required=option == '--build')
    parser.add_argument('--keep', action='store_true')
    parser.add_argument('run', choices=RUNS)
    a = parser.parse_args()
    ports, steps = RUNS[a.run]
    out, started, step = a.out or f'{a.build}/fwu-e2e/{a.run}', time.monotonic(), 'setting up'
    try:
        with Run(out, a.keep, limit_s=380) as run:  # CTest's is 420
            s = Case(run, a.build, a.host_build, a.image)
            for n, to in ports.items():
                to(s) if callable(to) else s.sims.start(n, to) if isinstance(to, list) else s.wine.map(n, to)
            s.start_fwu(s.wine.build / 'tests/win32/fwu-without-image.exe' if a.run == 'missing-image' else None)
            for run_step in steps:
                step = run_step.__name__.replace('_', '-')
                run_step(s)
                print(f'{step}: passed', flush=True)
        print(f'{a.run}: passed in {time.monotonic() - started:.1f} s')
        return 0
    except (Failure, SetupError, TimeoutError, subprocess.TimeoutExpired) as error:
        print(f'FAIL: {a.run}, {step}: {error}\nrun files: {out}', file=sys.stderr)
        return 1

if __name__ == '__main__':
    sys.exit(main())
