#!/usr/bin/env bash
# scripts/release end to end: two releases from two folders and firmware paths
# give the same executable; the record and the carried firmware are checked;
# bad firmware files and a folder holding another firmware's release are
# refused with nothing written, as are bad keys and timestamp servers; signed
# releases pass scripts/verify-release, changed ones fail the right check; the
# signed tool, under Wine, hears from the simulated device the CRC its record
# states. Run: tests/release_test.sh (builds what it needs in build/host and
# the chosen Windows build's tree).
# shellcheck disable=SC2016,SC2046,SC2086  # the tables' options split into words; a script written out
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
release=$src/scripts/release
# shellcheck source=tests/signing_keys.sh
. "$here/signing_keys.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
field() { sed -n "s/^$2: *//p" "$1"; }  # field RECORD NAME
sha() { sha256sum <"$1" | cut -d' ' -f1; }
listing() { (cd "$1" && sha256sum -- *); }
# RECORD, with lines NAME|VALUE on standard input: RECORD gives each NAME that VALUE.
fields_are() { while IFS='|' read -r name value; do [ "$(field "$1" "$name")" = "$value" ] || fail "$1: $name '$(field "$1" "$name")', not '$value'"; done; }

# FILE SIZE: the first SIZE bytes of the sample image (every byte value, runs of 0x00 and 0xFF).
make_image() { head -c "$2" "$src/build/host/sample_image.bin" >"$1"; }

# WHAT REASON DIR [OPTION...] FIRMWARE: exit 2 and a message giving REASON;
# DIR is left as it was, or not made.
check_refused()
{
    local what=$1 reason=$2 dir=$3 rc=0 before=none
    [ -e "$dir" ] && before=$(listing "$dir")
    "$release" "${@:4}" "$dir" >/dev/null 2>"$work/err" || rc=$?
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
        echo "not the released 32-bit executable but a 64-bit build of the same sources and firmware, signed with the same key, runs here"
        (cd "$src" && cmake --preset win64 -B "$work/win64" -DFWU_FIRMWARE_IMAGE="$firmware" &&
            cmake --build "$work/win64" --target fwu) >"$work/win64.log" 2>&1 ||
            fail "the 64-bit build did not build: $(tail -n 20 "$work/win64.log")"
        resign "$work/win64/app/fwu.exe" "$work/fwu64.exe" sign
        exe=$work/fwu64.exe
    fi
    "$src/tests/wine/fwu_wine.py" update --build "$src/build/$windows" --fwu "$exe" --image "$firmware" \
        --out "$run" >"$work/device-run.log" 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || fail "the update under Wine did not complete with the device's flash verified ($rc):" \
        "$(cat "$work/device-run.log" "$run/sim-com3.txt")"
    trace=$(tr -d '\r' <"$run/trace.txt")
    want=$(sed -n 's/^Local  CRC //p' "$record")
    [ -n "$want" ] || fail "no 'Local  CRC' line in $record"
    [ "$(sed -n 's/^Remote CRC //p' <<<"$trace")" = "$want" ] ||
        fail "the device reported '$(grep '^Remote CRC' <<<"$trace")', the record states $want"
    [ "$(sed -n 's/^Local  CRC //p' <<<"$trace")" = "$want" ] || fail "the tool's own CRC differs from the record's"
    grep -qxF "$(grep '^Flash Image Size' "$record")" <<<"$trace" || fail "the trace's image size differs from the record's"
    echo "the device reported $(grep '^Remote CRC' <<<"$trace") through the $windows build, as the record states"
}

resign()  # IN OUT [KEY]: IN without its signature, signed anew with KEY.key and KEY.pem when given
{
    rm -f "$work/u.exe" && osslsigncode remove-signature -in "$1" -out "$work/u.exe" >/dev/null 2>&1 || cp "$1" "$work/u.exe"
    rm -f "$2" && if [ -z "${3:-}" ]; then mv "$work/u.exe" "$2"; else
        osslsigncode sign -certs "$keys/$3.pem" -key "$keys/$3.key" -in "$work/u.exe" -out "$2" >/dev/null; fi
}

# RC PATTERN ARGS...: verify-release ARGS exits RC, and says PATTERN.
verifies()
{
    local rc=0
    "$src/scripts/verify-release" "${@:3}" >"$work/verify.log" 2>&1 || rc=$?
    [ "$rc" -eq "$1" ] && grep -q -e "$2" "$work/verify.log" ||
        fail "verify-release ${*:3}: exit $rc, not $1 saying '$2': $(cat "$work/verify.log")"
}

started=$(date +%s)
work=$(mktemp -d "${TMPDIR:-/tmp}/fwu-release-test.XXXXXX")
trap 'kill "${tsa_pid:-}" 2>/dev/null; rm -rf "$work"' EXIT
FWU_SIGN_SECRET=$(head -c 12 /dev/urandom | base64) && export FWU_SIGN_SECRET
keys=$work/keys && mkdir "$keys" && make_signing_keys "$keys" >"$work/keys.log" 2>&1 || fail "no test keys: $(cat "$work/keys.log")"
start_tsa "$keys" || fail "the timestamp responder did not start"
# [TOKEN [OBJECT [CERT]]]: the options that sign with a key on the test's token.
token() { echo --sign-key "pkcs11:token=${1:-fwu-test};object=${2:-fwu-sign}" --sign-cert "$keys/${3:-sign}.pem" --pkcs11-module "$softhsm_module"; }
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
fields_are "$record1" <<EOF
firmware file|demo-1.2.bin
firmware SHA-256|$(sha "$firmware1")
firmware size|5000 bytes
padded size|5120 bytes (0x1400), zero-filled to whole KiB
blocks|5 of 1024 bytes
executable SHA-256|$(sha "$exe1")
executable size|$(stat -c %s "$exe1") bytes
unsigned SHA-256|$(sha "$exe1")
signature|none: this release is unsigned
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
"$release" --from "$out2" $(token) --timestamp "$tsa_url" "$firmware2" "$out1" >/dev/null ||
    fail "a release of the same firmware again was refused"
cp -r "$out1" "$work/ts"
"$release" --force "$work/c/other.bin" "$out1" >/dev/null || fail "--force did not replace the release"
[ "$(ls "$out1")" = "$(printf '%s\n' fwu-other.exe fwu-other.txt)" ] || fail "after --force $out1 holds: $(ls "$out1")"
[ "$(field "$out1/fwu-other.txt" 'firmware SHA-256')" = "$(sha "$work/c/other.bin")" ] || fail "--force: wrong record"

echo "signed releases of one build: from a PKCS#12 file, from the token, with a timestamp"
# The signing tools log their command lines, which must not hold the secret.
mkdir "$work/bin" && for tool in openssl osslsigncode; do
    printf '#!/bin/sh\necho "${0##*/} $*" >>%s/argv.log\nexec %s "$@"\n' "$work" "$(command -v $tool)" >"$work/bin/$tool"
done && chmod +x "$work"/bin/*
PATH=$work/bin:$PATH "$release" --from "$out2" --sign-pkcs12 "$keys/sign.p12" "$firmware1" "$work/p12" >/dev/null ||
    fail "no release from the PKCS#12 file"
PATH=$work/bin:$PATH "$release" --from "$out2" $(token) "$firmware1" "$work/token" >/dev/null ||
    fail "no release from the token"
grep -q osslsigncode "$work/argv.log" && ! grep -qF -e "$FWU_SIGN_SECRET" "$work/argv.log" || fail "the secret was on a command line"
diff -r "$work/p12" "$work/token" >"$work/diff" || fail "two signed releases without a timestamp differ: $(cat "$work/diff")"
signed=$work/ts/fwu-demo-1.2.exe signed_record=$work/ts/fwu-demo-1.2.txt
verifies 0 '^verified' --ca "$keys/ca.pem" "$work/p12/fwu-demo-1.2.exe" "$work/p12/fwu-demo-1.2.txt"
verifies 0 '^  ok    timestamp: .* by CN=fwu test TSA$' --ca "$keys/ca.pem" "$signed" "$signed_record"
# The digest osslsigncode signs is the unsigned build's, as the records state it.
fields_are "$signed_record" <<EOF
Authenticode digest|$(osslsigncode verify -in "$signed" -CAfile "$keys/ca.pem" -TSA-CAfile "$keys/ca.pem" |
    sed -n 's/^Current message digest *: *\([0-9A-F]*\) *$/\1/p' | tr A-F a-f)
Authenticode digest|$(field "$record2" 'Authenticode digest')
executable SHA-256|$(sha "$signed")
unsigned SHA-256|$(sha "$exe2")
signer|CN=fwu test signer, O=fwu test
signer issuer|CN=fwu test CA
signer cert SHA-256|$(openssl x509 -in "$keys/sign.pem" -outform DER | sha /dev/stdin)
timestamp authority|CN=fwu test TSA
EOF

echo "changed and re-signed executables"
at=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(open(sys.argv[2], "rb").read()))' "$signed" "$firmware1")
cp "$firmware1" "$work/c/byte.bin" && printf '\0' | dd of="$work/c/byte.bin" bs=1 seek=100 conv=notrunc status=none
tail -c 5000 "$src/build/host/sample_image.bin" >"$work/c/replaced.bin"
while IFS='|' read -r what firmware key failing holding; do
    cp "$signed" "$work/changed.exe"
    dd if="$firmware" of="$work/changed.exe" bs=1 seek="$at" conv=notrunc status=none
    [ -z "$key" ] || resign "$work/changed.exe" "$work/changed.exe" "${key#-}"
    verifies 1 "^  FAIL  $failing: " --ca "$keys/ca.pem" "$work/changed.exe" "$signed_record"
    grep -q "^  ok    $holding: " "$work/verify.log" || fail "$what: '$holding' does not hold: $(cat "$work/verify.log")"
done <<EOF
one byte of the firmware changed|$work/c/byte.bin||signature|signer
the firmware replaced and signed by another CA|$work/c/replaced.bin|other|certificate chain|signature
the firmware replaced and signed with our own key|$work/c/replaced.bin|sign|signed digest|certificate chain
the signature removed|$firmware1|-|signature|firmware
EOF

echo "verify-release: bad input"
while read -r rc reason args; do verifies "$rc" "$reason" $args; done <<EOF
2 no.such.file $work/none.exe $record2
2 not.a.PE.file $record2 $record2
2 not.a.release.record $exe2 $exe2
2 another.firmware --firmware $work/c/other.bin $exe2 $record2
0 ^verified $exe2 $record2
EOF

echo "signing refused: a bad secret, key, certificate or timestamp server"
while IFS='|' read -r what reason secret options; do
    FWU_SIGN_SECRET=${secret:-$FWU_SIGN_SECRET} check_refused "$what" "$reason" "$work/new" $options "$firmware1"; done <<EOF
a wrong password|wrong password|not-it|--sign-pkcs12 $keys/sign.p12
a wrong PIN|PIN is wrong|not-it|$(token)
a token not found|no token found||$(token none)
a key not found|no private key found||$(token fwu-test none)
a key not the certificate's|not the certificate's||$(token fwu-test fwu-sign other)
a certificate not for code signing|not for code signing||$(token fwu-test fwu-sign plain)
an expired certificate|expired||$(token fwu-test fwu-sign expired)
a timestamp server unreachable|no timestamp from||--from $out2 $(token) --timestamp http://127.0.0.1:1/
a timestamp server answering an error|no timestamp from||--from $out2 $(token) --timestamp ${tsa_url}error
EOF

if [ "$(field "$record2" 'work tree')" = clean ]; then
    echo "verify-release --firmware: the tool built again from the source commit"
    verifies 0 '^  ok    rebuild: ' --ca "$keys/ca.pem" --firmware "$firmware1" "$signed" "$signed_record"
else
    echo "NOT RUN: verify-release --firmware, the rebuild from the source commit: this work tree has uncommitted changes"
    verifies 1 '^  FAIL  rebuild: cannot be rebuilt' --ca "$keys/ca.pem" --firmware "$firmware1" "$signed" "$signed_record"
fi

echo "the signed tool against the simulated device, under Wine"
check_against_device "$signed" "$signed_record" "$firmware2"
echo "release test passed in $(($(date +%s) - started)) s"
