#!/usr/bin/env python3
"""Start-up benchmark: the ms from starting fwu.exe of build tree B under Wine to its window and to
its idle status (after its 998 port probes), RUNS times, with line peers on COM3 and COM12.

  bench/startup.py B [RUNS]
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'tests/wine'))
from fwu_wine import Session

with Session(sys.argv[1]) as s:
    for n in (3, 12):
        s.serve(n, s.host / 'tests/line-peer', ['--timeout-s', s.limit_s])
    exe = s.wine('winepath', '-w', s.build / 'app/fwu.exe', capture_output=True, text=True).stdout.strip()
    for _ in range(int(sys.argv[2]) if len(sys.argv) > 2 else 5):
        s.wine(s.build / 'bench/startup-time.exe', exe, '30', stdout=sys.stdout, timeout=60)
        sys.stdout.flush()
