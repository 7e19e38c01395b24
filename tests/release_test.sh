#!/usr/bin/env bash
# scripts/release end to end: two releases from two folders and firmware paths
# give the same executable; the record and the carried firmware are checked;
# bad firmware files and a folder holding another firmware's release are
# refused with nothing written; the released tool, under Wine, hears from the
# simulated device the CRC its record states. Run: tests/release_test.sh
# (builds what it needs in build/host and the chosen Windows build's tree).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
release=$src/scripts/release

fail() { echo "FAIL: $*" >&2; exit 1; }
field() { sed -n "s/^$2: *//p" "$1"; }  # field RECORD NAME
sha() { sha256sum <"$1" | cut -d' ' -f1; }
listing() { (cd "$1" && sha256sum -- *); }

# FILE SIZE: the first SIZE bytes of the sample image (every byte value, runs of 0x00 and 0xFF).
make_image() { head -c "$2" "$src/build/host/sample_image.bin" >"$1"; }

# WHAT REASON DIR FIRMWARE: exit 2 and a message giving REASON;
# DIR is left as it was, or not made.
check_refused()
{
    local what=$1 reason=$2 dir=$3 rc=0 before=none
    [ -e "$dir" ] && before=$(listing "$dir")
    "$release" "$4" "$dir" >/dev/null 2>"$work/err" || rc=$?
    [ "$rc" -eq 2 ] || fail "$what: exit $rc, expected 2"
    grep -q -e "$reason" "$work/err" || fail "$what: message '$(cat "$work/err")' does not say '$reason'"
    [ "$( [ -e "$dir" ] && listing "$dir" || echo none)" = "$before" ] || fail "$what: $dir was made or changed"
}

# The released EXE under Wine, against device-sim on COM3 with FIRMWARE as the
# flash it must end up holding: the update completes, and the device's "Remote
# CRC" in the trace is the "Local  CRC" line of the RECORD, as is the tool's own.
# Where the Wine runs use the 64-bit build (this machine runs no 32-bit program,
# or FWU_WINDOWS_BUILD asks for it), a 64-bit build of the same sources and
# firmware runs instead, and the test says so.
check_against_device()
{
    local exe=$1 record=$2 firmware=$3 run=$work/device-run rc=0 trace want
    if [ "$windows" = win64 ]; then
        echo "not the released 32-bit executable but a 64-bit build of the same sources and firmware runs here"
        (cd "$src" && cmake --preset win64 -B "$work/win64" -DFWU_FIRMWARE_IMAGE="$firmware" &&
            cmake --build "$work/win64" --target fwu) >"$work/win64.log" 2>&1 ||
            fail "the 64-bit build did not build: $(tail -n 20 "$work/win64.log")"
        exe=$work/win64/app/fwu.exe
    fi
    "$src/tests/wine/fwu_wine.py" update --build "$src/build/$windows" --fwu "$exe" --image "$firmware" \
        --out "$run" >"$work/device-run.log" 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || fail "the update under Wine did not complete ($rc): $(cat "$work/device-run.log")"
    trace=$(tr -d '\r' <"$run/trace.txt")
    want=$(sed -n 's/^Local  CRC //p' "$record")
    [ -n "$want" ] || fail "no 'Local  CRC' line in $record"
    [ "$(sed -n 's/^Remote CRC //p' <<<"$trace")" = "$want" ] ||
        fail "the device reported '$(grep '^Remote CRC' <<<"$trace")', the record states $want"
    [ "$(sed -n 's/^Local  CRC //p' <<<"$trace")" = "$want" ] || fail "the tool's own CRC differs from the record's"
    grep -qxF "$(grep '^Flash Image Size' "$record")" <<<"$trace" || fail "the trace's image size differs from the record's"
    grep -qx '  result: pass' "$run/sim-com3.txt" || fail "device-sim: $(cat "$run/sim-com3.txt")"
    echo "the device reported $(grep '^Remote CRC' <<<"$trace") through the $windows build, as the record states"
}

started=$(date +%s)
work=$(mktemp -d "${TMPDIR:-/tmp}/fwu-release-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
windows=$("$src/scripts/windows-build") || fail "no Windows build can run here"
# Configured only when new: scripts/test runs other suites in these trees meanwhile.
configure() { [ -f "$src/build/$1/build.ninja" ] || cmake --preset "$1"; }
(cd "$src" && configure host && cmake --build --preset host --target device-sim firmware_image &&
    configure "$windows" && cmake --build --preset "$windows" --target fwu-driver) \
    >"$work/helpers.log" 2>&1 || fail "device-sim or fwu-driver did not build: $(tail -n 20 "$work/helpers.log")"
mkdir -p "$work/a" "$work/b/elsewhere" "$work/c"
firmware1=$work/a/demo-1.2.bin firmware2=$work/b/elsewhere/demo-1.2.bin out1=$work/out1 out2=$work/out2
make_image "$firmware1" 5000 && cp "$firmware1" "$firmware2"  # 4 KiB and 904 bytes: 5 blocks
exe1=$out1/fwu-demo-1.2.exe record1=$out1/fwu-demo-1.2.txt exe2=$out2/fwu-demo-1.2.exe record2=$out2/fwu-demo-1.2.txt

echo "two releases of the same firmware"
"$release" "$firmware1" "$out1" >/dev/null
"$release" "$firmware2" "$out2" >/dev/null
[ "$(sha "$exe1")" = "$(sha "$exe2")" ] || fail "two builds differ: $(sha "$exe1") and $(sha "$exe2")"
cmp -s "$record1" "$record2" || fail "the two records differ: $(diff "$record1" "$record2")"
[ "$(ls "$out1")" = "$(printf '%s\n' fwu-demo-1.2.exe fwu-demo-1.2.txt)" ] || fail "$out1 holds: $(ls "$out1")"

echo "the record and the carried firmware"
while IFS='|' read -r name value; do
    [ "$(field "$record1" "$name")" = "$value" ] || fail "record: $name '$(field "$record1" "$name")', not '$value'"
done <<EOF
firmware file|demo-1.2.bin
firmware SHA-256|$(sha "$firmware1")
firmware size|5000 bytes
padded size|5120 bytes (0x1400), zero-filled to whole KiB
blocks|5 of 1024 bytes
executable SHA-256|$(sha "$exe1")
executable size|$(stat -c %s "$exe1") bytes
EOF
[ "$(field "$record1" 'source commit')" = "$(git -C "$src" rev-parse HEAD)" ] || fail "not the source commit"
"$here/win32/check_exe.sh" "$exe1" "$firmware1" "$src/resources/fwu.manifest" >/dev/null ||
    fail "$exe1 is not the tool carrying the firmware"

echo "bad firmware files"
: >"$work/c/empty.bin" && mkdir "$work/c/folder.bin"
truncate -s $((0x7FFFFC01)) "$work/c/huge.bin"  # 2 GiB less 1 KiB, and one byte
for dir in "$work/new" "$out1"; do
    check_refused "an empty file" "empty" "$dir" "$work/c/empty.bin"
    check_refused "a missing file" "no such file" "$dir" "$work/c/missing.bin"
    check_refused "a folder" "folder" "$dir" "$work/c/folder.bin"
    check_refused "a file too large" "too large" "$dir" "$work/c/huge.bin"
done

echo "a folder holding another firmware's release"
make_image "$work/c/other.bin" 1500
check_refused "another firmware" "--force" "$out1" "$work/c/other.bin"
make_image "$work/c/demo-1.2.bin" 5001
check_refused "another firmware of the same name" "--force" "$out1" "$work/c/demo-1.2.bin"
"$release" "$firmware2" "$out1" >/dev/null || fail "a release of the same firmware again was refused"
"$release" --force "$work/c/other.bin" "$out1" >/dev/null || fail "--force did not replace the release"
[ "$(ls "$out1")" = "$(printf '%s\n' fwu-other.exe fwu-other.txt)" ] || fail "after --force $out1 holds: $(ls "$out1")"
[ "$(field "$out1/fwu-other.txt" 'firmware SHA-256')" = "$(sha "$work/c/other.bin")" ] || fail "--force: wrong record"

echo "the released tool against the simulated device, under Wine"
check_against_device "$exe2" "$record2" "$firmware2"
echo "release test passed in $(($(date +%s) - started)) s"
