#!/usr/bin/env bash
# bench/startup.sh BUILD_WIN32 HOST_BUILD RUNS: starts fwu.exe RUNS times in
# one private Wine session, with COM3 and COM12 present, and prints for each
# start the ms to its window and to its idle status (port scan included).
set -euo pipefail
build=$1
host_build=$2
runs=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/wine-session.sh
source "$here/../tests/wine/wine-session.sh"

wine_session_begin "$build"
peers=()
stop_peers() { for pid in "${peers[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done; }
wine_session_at_exit stop_peers
for n in 3 12; do
    "$host_build/tests/line-peer" --link "$WINEPREFIX/dosdevices/com$n" --timeout-s 300 >/dev/null 2>&1 &
    peers+=($!)
done
for _ in $(seq 50); do [ -L "$WINEPREFIX/dosdevices/com12" ] && break; sleep 0.05; done
# Wine's own services come up with the first program of a session: not ours to time.
wine "$build/tests/win32/fwu-driver.exe" status >/dev/null 2>&1 || true

exe=$(wine winepath -w "$build/app/fwu.exe")
for _ in $(seq "$runs"); do
    wine_session_run 60 wine "$build/tests/win32/fwu-driver.exe" startup-time "$exe" 30 </dev/null
done
