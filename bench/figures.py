#!/usr/bin/env python3
"""The update benchmark's figures, from the run files under OUT (startup.txt, update/sim-com3.txt with
device-sim's --trace, update/press-to-done.txt): writes OUT/block_times.txt, the ms from each block
request's first bytes to the next request's, and prints the figures against the wire's lower bound and
the design's cadence. With --gnuplot, prints the two per-block lines for the plot instead.

  bench/figures.py BUILD OUT
  bench/figures.py --gnuplot
"""
import re, statistics, sys
from pathlib import Path

def wire_ms(nbytes):  # 8E1: 11 bits a byte at 115200 baud
    return nbytes * 11 * 1000 / 115200

BLOCK_WIRE = wire_ms(1035 + 11)  # a block request and its reply
# Every exchange at the design rhythm: its wire time, the 20 ms of silence that ends the read and the
# 10 ms timer; each contact also pauses 100 ms.
BLOCK_CADENCE = BLOCK_WIRE + 20 + 10
CADENCE = {'block': BLOCK_CADENCE, 'contact': wire_ms(13 + 15) + 100 + 20 + 10,
           'verify': wire_ms(13 + 15) + 20 + 10, 'reset': wire_ms(5 + 5) + 20 + 10}

def block_times(trace):
    """From device-sim's trace: a request starts when its first bytes came off the line."""
    times, request_start, block_start = [], None, None
    for line in trace.splitlines():
        if ' ms  in ' in line and request_start is None:
            request_start = float(line.split()[1])
        elif 'request: ' in line:
            if block_start is not None:
                times.append(float('%.6g' % (request_start - block_start)))  # as the file holds it
            block_start = request_start if 'request: block #' in line else None
            request_start = None
    return times

def figures(build, out):
    startup = [line.split() for line in (out / 'startup.txt').read_text().splitlines()]
    window = [float(f[1]) for f in startup if f[0] == 'window']
    ready = [float(f[1]) for f in startup if f[0] != 'window']
    sim = (out / 'update/sim-com3.txt').read_text()
    blocks = block_times(sim)
    (out / 'block_times.txt').write_text(''.join('%.6g\n' % t for t in blocks))
    total = [float(line.split()[0]) for line in (out / 'update/press-to-done.txt').read_text().splitlines()
             if line.endswith(' Programming Completed')][-1]
    bytes_in, bytes_out = map(int, re.search(r'^  line: (\d+) bytes in, (\d+) bytes out', sim, re.M).groups())
    count = {kind: int(n) for kind, n in re.findall(r'(\w+) (\d+)', re.search(r'^  requests: (.*)', sim, re.M)[1])}
    cadence = sum(count[kind] * ms for kind, ms in CADENCE.items())
    lower, block = wire_ms(bytes_in + bytes_out), statistics.median(blocks)
    return f'''build:                             {build}
start-up to the window:            {int(statistics.median(window))} ms (median of {len(window)})
start-up to a ready window:        {int(statistics.median(ready))} ms (median of {len(ready)}; 998 port probes included)
press to "Programming Completed":  {total / 1000:.2f} s
exchanges: {count['contact']} contact, {count['block']} block, {count['verify']} verify, {count['reset']} reset; \
{bytes_in} bytes to the device, {bytes_out} back
time per block:                    median {block:.1f} ms, worst {max(blocks):.1f} ms \
({len(blocks)} blocks, {sum(blocks) / 1000:.2f} s in all)
wire lower bound:                  {lower / 1000:.2f} s for these bytes; {BLOCK_WIRE:.1f} ms a block
design cadence:                    {cadence / 1000:.2f} s; {BLOCK_CADENCE:.1f} ms a block \
({BLOCK_WIRE:.1f} wire + 20 silence + 10 timer)
measured / lower bound:            {total / lower:.3f} (whole update), {block / BLOCK_WIRE:.3f} (median block)
measured / cadence:                {total / cadence:.3f} (whole update), {block / BLOCK_CADENCE:.3f} (median block)'''

if __name__ == '__main__':
    if sys.argv[1:] == ['--gnuplot']:
        print(f'block_cadence = {BLOCK_CADENCE}\nblock_wire = {BLOCK_WIRE}')
    else:
        print(figures(sys.argv[1], Path(sys.argv[2])))
