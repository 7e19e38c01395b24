# shellcheck shell=bash
# The steps and checks of the end-to-end cases (tests/wine/fwu-e2e), run as a
# run-fwu scenario: FWU_CTL, FWU_RUN_DIR and FWU_IMAGE come from run-fwu.

readonly FLASH_BASE=$((0x8004000))
readonly BLOCK_LEN=1024

fail()
{
    echo "FAIL: $*" >&2
    exit 1
}

drive()
{
    "$FWU_CTL" drive "$@"
}

press()
{
    drive press >/dev/null || fail "the button could not be pressed"
}

select_row()
{
    drive select-row "$1" >/dev/null || fail "no row $1 to select; rows: $(drive rows | tr '\n' ' ')"
}

read_status()
{
    drive status
}

# Waits for a status text; its output goes to the status history.
wait_status()
{
    drive wait-status "$@" >/dev/null
}

shot()
{
    "$FWU_CTL" shot "$1" || echo "warning: no screenshot $1" >&2
}

# The port list holds exactly the given rows, after the \\.\com1 row that
# Wine gives /dev/ttyS0 when it can be opened.
check_rows()
{
    local rows wanted
    rows=$(drive rows) || fail "the port list could not be read"
    rows=$(sed '1{/^\\\\\.\\com1$/d}' <<<"$rows")
    wanted=$(printf '%s\n' "$@")
    [ "$rows" = "$wanted" ] || fail "rows $(tr '\n' ' ' <<<"$rows")instead of $(tr '\n' ' ' <<<"$wanted")"
}

# Closes the window and expects the tool to end with exit code $1.
close_with()
{
    local rc=0
    drive close 10 >/dev/null || fail "the window did not close"
    "$FWU_CTL" fwu-wait 20 >/dev/null || rc=$?
    [ "$rc" -eq "$1" ] || fail "exit code $rc after closing the window, expected $1"
}

# COMn's device-sim ends by itself with its flash verified, its reset
# acknowledged and $2 blocks written.
sim_passes()
{
    local n=$1 blocks=$2 report rc=0
    report=$("$FWU_CTL" sim-wait "$n" 30) || rc=$?
    [ "$rc" -eq 0 ] || fail "device-sim on COM$n exit $rc: $report"
    grep -qx "  blocks written: $blocks" <<<"$report" || fail "not $blocks blocks written: $report"
    grep -qx "  resets: 1, acknowledged: yes" <<<"$report" || fail "not one acknowledged reset: $report"
    grep -qx "  result: pass" <<<"$report" || fail "device-sim does not pass: $report"
}

# The CRC device-sim reports for its flash ($2 = 1) or the image ($2 = 2),
# as the tool prints it (0x without leading zeros).
sim_crc()
{
    local line
    line=$(grep -E '^  flash CRC-16/MODBUS over [0-9]+ bytes: 0x[0-9A-F]{4} \(image 0x[0-9A-F]{4}\)$' \
        "$FWU_RUN_DIR/sim-com$1.txt") || fail "no CRC in the report of device-sim on COM$1"
    [[ $line =~ :\ (0x[0-9A-F]{4})\ \(image\ (0x[0-9A-F]{4})\) ]]
    printf '%#x\n' "${BASH_REMATCH[$2]}"
}

flash_crc()
{
    local flash image
    flash=$(sim_crc "$1" 1) && image=$(sim_crc "$1" 2) || exit 1
    [ "$flash" = "$image" ] || fail "device-sim on COM$1: flash CRC $flash, image CRC $image"
    echo "$flash"
}

image_crc()
{
    sim_crc "$1" 2
}

# ---- the expected trace: one entry a line, "= TEXT" a line reading TEXT,
# "~ RE" a line matching the extended regular expression RE, "* RE" any
# number of lines matching RE (no interval braces: mawk takes them literally).

padded_size()
{
    local size
    size=$(stat -c %s "$FWU_IMAGE")
    echo $(((size + BLOCK_LEN - 1) / BLOCK_LEN * BLOCK_LEN))
}

# 114 for the sample image.
image_blocks()
{
    echo $(($(padded_size) / BLOCK_LEN))
}

expect_line()
{
    printf '= %s\n' "$1"
}

expect_header()
{
    expect_line "Running on windows version: a00"
    expect_line ""
    expect_line "$(printf 'Flash Image Base %#x' "$FLASH_BASE")"
    expect_line "$(printf 'Flash Image Size %#x bytes' "$(padded_size)")"
}

# One press's trace: PORT, then OUTCOME ok (completed) or fail (CRC mismatch),
# CRC the local CRC (and, when ok, the remote one too).
expect_attempt()
{
    local port=$1 outcome=$2 crc=$3 size offset len
    size=$(padded_size)
    expect_line " . Opening serial port $port at 115200 baud"
    expect_line "CONTACTING..."
    echo '* CONTACTING\.\.\.|RX:( [0-9a-f][0-9a-f])+'
    echo '~ RX: 04 2b( [0-9a-f][0-9a-f])+'
    expect_line "REMOTE DEVICE LINK ESTABLISHED"
    for ((offset = 0; offset < size; offset += BLOCK_LEN)); do
        len=$((size - offset < BLOCK_LEN ? size - offset : BLOCK_LEN))
        expect_line "$(printf 'PROG ADDR %#x, LEN %#x, FROM %#x... - SENT - - OK' $((FLASH_BASE + offset)) "$len" "$offset")"
    done
    expect_line "$(printf 'Verifying address %#x, image size %#x bytes' "$FLASH_BASE" "$size")"
    expect_line "frame length   13 bytes sent"
    if [ "$outcome" = ok ]; then
        expect_line "Remote CRC $crc"
        expect_line "Local  CRC $crc"
        expect_line "CRCs match"
        expect_line "Resetting target"
        expect_line "frame length    5 bytes sent"
        expect_line "frame length    5 bytes received & OK"
    else
        echo '~ Remote CRC 0x[0-9a-f]+'
        expect_line "Local  CRC $crc"
        expect_line "CRC FAIL"
    fi
}

# Compares trace.txt line for line with expected.txt (each trace line without
# its carriage return); on a mismatch says where.
check_trace()
{
    awk '
        FNR == NR { kind[++entries] = substr($0, 1, 1); text[entries] = substr($0, 3); next }
        { sub(/\r$/, ""); line[++lines] = $0 }
        function fits(e, a) {
            return kind[e] == "=" ? line[a] == text[e] : line[a] ~ ("^(" text[e] ")$")
        }
        # Whether entries from e on account for lines from a on; a "*" takes
        # as few lines as it can. Notes the furthest point reached.
        function match_from(e, a,    k) {
            if (a > far_a || (a == far_a && e > far_e)) { far_a = a; far_e = e }
            if (e > entries) return a > lines
            if (kind[e] == "*") {
                for (k = a; ; k++) {
                    if (match_from(e + 1, k)) return 1
                    if (k > lines || !fits(e, k)) return 0
                }
            }
            return a <= lines && fits(e, a) && match_from(e + 1, a + 1)
        }
        END {
            if (match_from(1, 1)) exit 0
            want = far_e > entries ? "the end of the trace" : "\"" text[far_e] "\""
            got = far_a > lines ? "the end of the trace" : "\"" line[far_a] "\""
            gsub(/\r/, "\\r", got)  # a carriage return left over shows
            printf "trace line %d: expected %s (entry %d of the expected trace), found %s\n", far_a, want, far_e, got
            exit 1
        }' "$FWU_RUN_DIR/expected.txt" "$FWU_RUN_DIR/trace.txt" >"$FWU_RUN_DIR/trace-mismatch.txt" ||
        fail "the trace differs from the expected one: $(cat "$FWU_RUN_DIR/trace-mismatch.txt")"
    rm -f "$FWU_RUN_DIR/trace-mismatch.txt"
}

# The statuses read while waiting come in the order an update shows them.
check_status_order()
{
    local blocks rank last_rank=-1 text last_text=""
    blocks=$(image_blocks)
    while IFS= read -r text; do
        case $text in
            " - Idle - ") rank=0 ;;
            "Contacting Device...") rank=1 ;;
            "Establishing Link...") rank=2 ;;
            "programming 0x"*)
                [[ $text =~ ^programming\ 0x([0-9a-f]+)$ ]] || fail "status '$text'"
                rank=$((16#${BASH_REMATCH[1]} - FLASH_BASE))
                if [ $((rank % BLOCK_LEN)) -ne 0 ] || [ "$rank" -lt 0 ] || [ "$rank" -ge $((blocks * BLOCK_LEN)) ]; then
                    fail "status '$text' names no block"
                fi
                rank=$((3 + rank / BLOCK_LEN)) ;;
            "Verifying...") rank=$((3 + blocks)) ;;
            "Program Verified OK") rank=$((4 + blocks)) ;;
            "Resetting target...") rank=$((5 + blocks)) ;;
            "Programming Completed OK") rank=$((6 + blocks)) ;;
            "Programming Completed") rank=$((7 + blocks)) ;;
            *) fail "unexpected status '$text'" ;;
        esac
        [ "$rank" -ge "$last_rank" ] || fail "status '$text' came after a later one"
        last_rank=$rank
        last_text=$text
    done <"$FWU_RUN_DIR/status.txt"
    [ "$last_text" = "Programming Completed" ] || fail "the last status read is '$last_text'"
}

# The dialog's instruction texts as the window shows them, line breaks as \n.
check_texts()
{
    local wanted
    wanted=$(cat <<'EOF'
1) Completely UNPLUG the Device requiring update, so it is powered-down.\n\n2) Connect the Tovrin to the PC but do not connect to the Device yet.\n\n3) Choose the COM port below corresponding to the Tovrin.\n\n4) Press the ""Update Device"" button.\n\n
5) Now plug the Tovrin into the REMOTE port on the Device (powering it up).\n\n6) Programming should start automatically.\n\n7) After programming the unit should restart automatically.\n\n8) The procedure above can be retried if not successful.
There should now be a flashing red LED on the Tovrin provided the correct COM port was chosen.\n\n
EOF
)
    [ "$(drive texts)" = "$wanted" ] || fail "the window's texts differ: $(drive texts)"
}

# After a failed case: what the kept files say.
show_kept()
{
    local dir=$1 file
    [ -d "$dir" ] || return 0
    echo "--- status history ($dir/status.txt)"
    tail -n 15 "$dir/status.txt" 2>/dev/null
    echo "--- trace, last lines ($dir/trace.txt)"
    tr -d '\r' <"$dir/trace.txt" 2>/dev/null | tail -n 15
    for file in "$dir"/sim-com*.txt; do
        [ -e "$file" ] && { echo "--- $file"; cat "$file"; }
    done
    echo "--- driver, last commands ($dir/driver.log)"
    tail -n 20 "$dir/driver.log" 2>/dev/null
    echo "--- runner ($dir/run.log)"
    cat "$dir/run.log" 2>/dev/null
    echo "--- screenshots"
    ls "$dir"/*.png 2>/dev/null
}
