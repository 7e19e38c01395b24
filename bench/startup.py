#!/usr/bin/env python3
"""Start-up benchmark: the ms from starting fwu.exe of build tree B under Wine to its window and to
its idle status (after its 998 port probes), RUNS times, with line peers on COM3 and COM12.

  bench/startup.py B [RUNS]
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'tests/wine'))
from far_end import linked
from lifetime import SRC, Run
from wine_session import WineSession

with Run() as run:
    wine = WineSession(run, sys.argv[1])
    for n in (3, 12):
        linked(run, wine, n, SRC / 'build/host/tests/line-peer', ['--timeout-s', run.limit_s])
    exe = wine.wine('winepath', '-w', wine.build / 'app/fwu.exe', capture_output=True, text=True).stdout.strip()
    for _ in range(int(sys.argv[2]) if len(sys.argv) > 2 else 5):
        wine.wine(wine.build / 'bench/startup-time.exe', exe, '30', stdout=sys.stdout, timeout=60)
        sys.stdout.flush()
