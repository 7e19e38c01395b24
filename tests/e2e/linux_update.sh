#!/usr/bin/env bash
# A whole update over a real line: fwu-linux (the job with the POSIX port)
# against device-sim on a pseudo-terminal.
#
#   linux_update.sh BUILD_DIR CASE
#
# CASE: complete (paced line) | late-power-up | dropped-reply | bad-flash
set -euo pipefail
build=$1
case_name=$2
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

# Its usage on request, and on a bad argument.
"$build/app/fwu-linux" --help | grep -q '^usage: fwu-linux --port' || fail "--help printed no usage"
rc=0; "$build/app/fwu-linux" --bogus 2>"$work/usage.txt" || rc=$?
[ "$rc" -eq 2 ] && grep -q '^usage: ' "$work/usage.txt" || fail "a bad argument gave exit $rc and no usage"

sim_args=(--link "$work/line" --image "$image" --timeout-s 120 --linger-ms 300)
expect_tool=0
expect_sim=0
case $case_name in
  complete)      sim_args+=(--pace) ;;
  late-power-up) sim_args+=(--power-up-ms 3000) ;;
  dropped-reply) sim_args+=(--fault block:20:drop --fault contact:1:drop) ;;
  bad-flash)     sim_args+=(--bad-flash 0x08010000); expect_tool=1; expect_sim=1 ;;
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
"$build/app/fwu-linux" --port "$work/line" --image "$image" --limit-s 100 \
  >"$work/trace.txt" 2>"$work/status.txt" || tool_rc=$?
took_ms=$(( ($(date +%s%N) - started) / 1000000 ))

if [ "$expect_sim" -eq 1 ]; then
  kill "$sim_pid"  # the failed tool never resets the device: end its wait
fi
sim_rc=0
wait "$sim_pid" || sim_rc=$?
sim_pid=""

[ "$tool_rc" -eq "$expect_tool" ] || fail "fwu-linux exited $tool_rc, expected $expect_tool"
last_status=$(tail -n 1 "$work/status.txt")
blocks_ok=$(grep -c -- ' - SENT - - OK$' "$work/trace.txt" || true)
if [ "$expect_tool" -eq 0 ]; then
  [ "$sim_rc" -eq 0 ] || fail "device-sim exited $sim_rc: flash not verified or no reset"
  [ "$last_status" = "status: Programming Completed" ] || fail "last status '$last_status'"
  [ "$blocks_ok" -eq 114 ] || fail "$blocks_ok blocks acknowledged, expected 114"
  grep -qx "CRCs match" "$work/trace.txt" || fail "no CRC match in the trace"
else
  [ "$sim_rc" -ne 0 ] || fail "device-sim reports a good flash, expected a bad one"
  [ "$last_status" = "status: FAILED" ] || fail "last status '$last_status'"
  grep -qx "CRC FAIL" "$work/trace.txt" || fail "no CRC FAIL in the trace"
fi
case $case_name in
  dropped-reply) grep -q "TIMEOUT" "$work/trace.txt" || fail "the dropped block reply caused no resend" ;;
  late-power-up) [ "$(grep -c '^CONTACTING' "$work/trace.txt")" -ge 5 ] || fail "too few contact requests" ;;
esac
echo "$case_name: fwu-linux exit $tool_rc in $took_ms ms; device-sim exit $sim_rc"
grep -E "^(blocks|flash|resets)" "$work/sim.txt" || true
