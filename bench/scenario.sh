#!/usr/bin/env bash
# The benchmark's scenario for tests/wine/run-fwu: press "Update Device" for
# COM3 and time the update to "Programming Completed" with the driver's own
# clock. Writes press-to-done.txt (ms) into the run's files.
set -euo pipefail
ctl=$FWU_CTL

"$ctl" drive select-row '\\.\com3' >/dev/null
"$ctl" drive press-and-time "Programming Completed" 180 >"$FWU_RUN_DIR/press-to-done.txt"
"$ctl" sim-wait 3 30 >/dev/null
"$ctl" shot benchmark
