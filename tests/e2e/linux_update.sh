#!/usr/bin/env bash
# The whole update over a real line: fwu-linux (the job with the POSIX port)
# against device-sim on a pseudo-terminal.
#
#   linux_update.sh BUILD_DIR CASE
#
# CASE: complete (a paced line, a device powered up late, a lost contact
# reply and a lost block reply) | bad-flash (a flash byte that does not
# take: FAILED). Both check the usage first.
set -euo pipefail
build=$1
case_name=$2
tool=$build/app/fwu-linux
image=$build/sample_image.bin
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL ($case_name): $*"
  echo "--- device-sim"; cat "$work/sim.txt" || true
  echo "--- status"; cat "$work/status.txt" || true
  echo "--- trace (last lines)"; tail -n 20 "$work/trace.txt" || true
  exit 1
}

"$tool" --help | grep -q '^usage: fwu-linux --port' || fail "--help printed no usage"
rc=0; "$tool" --bogus 2>"$work/status.txt" || rc=$?
[ "$rc" -eq 2 ] && grep -q '^usage: ' "$work/status.txt" || fail "a bad argument gave exit $rc and no usage"

sim_args=(--link "$work/line" --image "$image" --timeout-s 120 --linger-ms 300)
case $case_name in
  complete)  sim_args+=(--pace --power-up-ms 3000 --fault contact:1:drop --fault block:20:drop) ;;
  bad-flash) sim_args+=(--bad-flash 0x08010000) ;;
  *) echo "unknown case $case_name"; exit 2 ;;
esac

"$build/sim/device-sim" "${sim_args[@]}" >"$work/sim.txt" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q "line ready" "$work/sim.txt" 2>/dev/null && break
  sleep 0.05
done
[ -L "$work/line" ] || fail "device-sim did not publish its line"

started=$(date +%s%N)
tool_rc=0
"$tool" --port "$work/line" --image "$image" --limit-s 100 >"$work/trace.txt" 2>"$work/status.txt" || tool_rc=$?
took_ms=$(( ($(date +%s%N) - started) / 1000000 ))
[ "$case_name" = bad-flash ] && kill "$sim_pid"  # the failed tool never resets the device: end its wait (it reports)
sim_rc=0
wait "$sim_pid" || sim_rc=$?
sim_pid=""
echo "$case_name: fwu-linux exit $tool_rc in $took_ms ms; device-sim exit $sim_rc"

trace() { grep -c -- "$1" "$work/trace.txt" || true; }
last_status=$(tail -n 1 "$work/status.txt")
if [ "$case_name" = complete ]; then
  [ "$tool_rc" -eq 0 ] || fail "fwu-linux exited $tool_rc, expected 0"
  [ "$sim_rc" -eq 0 ] || fail "device-sim exited $sim_rc: flash not verified or no reset"
  [ "$last_status" = "status: Programming Completed" ] || fail "last status '$last_status'"
  [ "$(trace ' - SENT - - OK$')" -eq 114 ] || fail "not 114 blocks acknowledged"
  [ "$(trace '^CRCs match$')" -eq 1 ] || fail "no CRC match in the trace"
  [ "$(trace 'TIMEOUT')" -ge 1 ] || fail "the lost block reply caused no resend"
  [ "$(trace '^CONTACTING')" -ge 5 ] || fail "too few contact requests"
  # 114 blocks of 1035 bytes at 11 bits each take 11.3 s on a 115200 baud wire.
  [ "$took_ms" -ge 11300 ] || fail "$took_ms ms is faster than the paced line allows"
else
  [ "$tool_rc" -eq 1 ] || fail "fwu-linux exited $tool_rc, expected 1"
  grep -q '^  flash holds .*: NO$' "$work/sim.txt" || fail "device-sim reports a good flash, expected a bad one"
  [ "$last_status" = "status: FAILED" ] || fail "last status '$last_status'"
  [ "$(trace '^CRC FAIL$')" -eq 1 ] || fail "no CRC FAIL in the trace"
fi
