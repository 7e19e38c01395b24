#!/usr/bin/env bash
# device-sim over a real pseudo-terminal: its command line, one contact and
# one reset exchanged through the published link, its exit status and report,
# and the link removed afterwards (also when it is stopped by a signal).
# Usage: device_sim_test.sh PATH/TO/device-sim
set -u

sim=${1:?usage: device_sim_test.sh PATH/TO/device-sim}
work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for file in "$work"/out "$work"/err; do
        if [ -s "$file" ]; then echo "--- $file" >&2; cat "$file" >&2; fi
    done
    exit 1
}

# CRC-16/MODBUS of hex bytes, printed as the two trailer bytes (low first).
crc16() {
    local hex=$1 crc=$((0xFFFF)) i j
    for ((i = 0; i < ${#hex}; i += 2)); do
        crc=$((crc ^ 16#${hex:i:2}))
        for ((j = 0; j < 8; j++)); do
            if ((crc & 1)); then crc=$(((crc >> 1) ^ 0xA001)); else crc=$((crc >> 1)); fi
        done
    done
    printf '%02x%02x' $((crc & 0xFF)) $((crc >> 8))
}

# Writes the hex request to the line and prints, as hex, the first COUNT reply bytes.
exchange() {
    local request=$1 count=$2 format= i
    timeout 5 head -c "$count" <"$link" >"$work/reply" &
    local reader=$!
    for ((i = 0; i < ${#request}; i += 2)); do format+="\\x${request:i:2}"; done
    # shellcheck disable=SC2059
    printf "$format" >"$link" || fail "cannot write to $link"
    wait "$reader" || fail "no $count-byte reply to $request"
    od -An -tx1 -v "$work/reply" | tr -d ' \n'
}

start_sim() {
    "$sim" --link "$link" --timeout-s 20 "$@" >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do
        grep -q "line ready at $link" "$work/out" && return
        kill -0 "$pid" 2>/dev/null || fail "device-sim ended before the line was ready"
        sleep 0.05
    done
    fail "device-sim never said the line was ready"
}

# Waits up to 10 s for device-sim to end; sets $status.
await_exit() {
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && fail "device-sim still running"
    wait "$pid"
    status=$?
    pid=
}

# The check's own CRC against the two frames the device is known to take.
[ "$(crc16 042bf60800400000000004)" = 425a ] || fail "crc16 in this script is wrong"
[ "$(crc16 042bf7)" = 6f77 ] || fail "crc16 in this script is wrong"

"$sim" --help >"$work/out" || fail "--help did not exit 0"
grep -q -- --fault "$work/out" || fail "--help does not explain --fault"
"$sim" --link "$work/unused" --fault block:0:drop 2>"$work/err"
[ $? -eq 2 ] || fail "a bad --fault did not exit 2"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "a bad argument should give one line on stderr"
"$sim" --no-such-option 2>/dev/null
[ $? -eq 2 ] || fail "an unknown option did not exit 2"

link=$work/device
start_sim --linger-ms 300
[ -L "$link" ] || fail "$link is not a symlink"
stty -F "$link" raw -echo || fail "stty on $link"

contact=042bf60800400000000004425a
reply=$(exchange "$contact" 15) || exit 1
erased_crc=$(crc16 ffffffff)  # four erased bytes; the reply carries it high byte first
body=${contact:0:22}${erased_crc:2:2}${erased_crc:0:2}
[ "$reply" = "$body$(crc16 "$body")" ] || fail "contact reply $reply, expected $body$(crc16 "$body")"

reply=$(exchange 042bf76f77 5) || exit 1
[ "$reply" = 042bf76f77 ] || fail "reset reply $reply"

await_exit
[ "$status" -eq 0 ] || fail "device-sim exited $status after an acknowledged reset"
grep -q "requests: contact 1, verify 0, block 0, reset 1" "$work/out" || fail "report miscounts the requests"
grep -q "acknowledged: yes" "$work/out" || fail "report misses the acknowledged reset"
[ -e "$link" ] || [ -L "$link" ] && fail "$link left behind"

# Stopped before any reset: exit 1, and the link is still removed.
start_sim
kill -TERM "$pid"
await_exit
[ "$status" -eq 1 ] || fail "device-sim exited $status on SIGTERM"
grep -q "stopped by a signal" "$work/out" || fail "report does not say it was stopped"
[ -e "$link" ] || [ -L "$link" ] && fail "$link left behind after SIGTERM"

echo "device-sim test passed"
