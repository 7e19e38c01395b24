#!/usr/bin/env bash
# check_exe.sh EXE IMAGE MANIFEST: checks the shipped 32-bit fwu.exe without
# running it. Its headers: PE32 for i386, the Windows GUI subsystem, imports
# from system DLLs only. Its
# resources, read back from the executable by binutils' windres: BINFILE byte
# for byte the image, the dialog "FWU" as the window must be, the manifest.
set -uo pipefail
exe=$1 image=$2 manifest=$3
failures=0
fail() { echo "check_exe: $*" >&2; failures=$((failures + 1)); }

headers=$(objdump -p "$exe" 2>/dev/null) || { echo "check_exe: objdump cannot read $exe" >&2; exit 1; }
grep -q 'file format pei-i386$' <<<"$headers" || { echo "check_exe: $exe is not a Windows program for i386" >&2; exit 1; }
grep -qP '^Subsystem\t+00000002\t\(Windows GUI\)$' <<<"$headers" || fail "not of the Windows GUI subsystem"
system_dlls='^(kernel32|user32|gdi32|advapi32|comctl32|comdlg32|shell32|ole32|msvcrt|ws2_32)\.dll$'
dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers")
[ -n "$dlls" ] || fail "imports nothing"
while read -r dll; do
    [ -z "$dll" ] || grep -qiE "$system_dlls" <<<"$dll" || fail "imports $dll, not a system DLL"
done <<<"$dlls"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The body of the first resource of a decompiled script whose header line
# begins with $1: from its BEGIN to its END.
resource() { awk -v head="$1" 'index($0, head) == 1 { on = 1 } on && /^BEGIN$/ { body = 1 } body { print } body && /^END$/ { exit }' "$2"; }

i686-w64-mingw32-windres -i "$exe" -O rc -o "$scratch/exe.rc" || { echo "check_exe: windres cannot read $exe" >&2; exit 1; }
# The image and the manifest rendered by the same tool, from the files themselves.
cp "$image" "$scratch/image.bin"
cp "$manifest" "$scratch/manifest.xml"
printf 'BINFILE RCDATA "image.bin"\n1 24 "manifest.xml"\n' >"$scratch/expected.rc"
(cd "$scratch" && i686-w64-mingw32-windres -i expected.rc -O rc -o expected-out.rc) || exit 1
for head in '"BINFILE" ' '1 24 '; do
    expected=$(resource "$head" "$scratch/expected-out.rc")
    [ -n "$expected" ] || { echo "check_exe: windres rendered no $head" >&2; exit 1; }
    [ "$(resource "$head" "$scratch/exe.rc")" = "$expected" ] || fail "resource ${head% } differs from its file"
done

dialog=$(awk '$0 == "\"FWU\" DIALOGEX 32, 32, 337, 210" { on = 1 } on { print } on && /^END$/ { exit }' "$scratch/exe.rc")
[ -n "$dialog" ] || fail 'no dialog "FWU" at (32, 32), 337 x 210'
while IFS= read -r line; do
    grep -qxF "$line" <<<"$dialog" || fail "the dialog lacks: $line"
done <<'EOF'
STYLE 0x90c800c0
EXSTYLE 0x40000
CLASS "FWU"
CAPTION "Device Firmware Update Tool"
FONT 8, "MS Sans Serif", 0, 0, 0
  CONTROL "", 3, "COMBOBOX", 0x50210202, 17, 68, 56, 123
  CONTROL "Update Device", 4, "BUTTON", 0x50010001, 81, 68, 100, 14
  CONTROL "", 5, "EDIT", 0x50010880, 185, 71, 148, 12
  CONTROL "1) Completely UNPLUG the Device requiring update, so it is powered-down.\n\n2) Connect the Tovrin to the PC but do not connect to the Device yet.\n\n3) Choose the COM port below corresponding to the Tovrin.\n\n4) Press the """"Update Device"""" button.\n\n", -1, "STATIC", 0x50020000, 11, 7, 286, 56
  CONTROL "5) Now plug the Tovrin into the REMOTE port on the Device (powering it up).\n\n6) Programming should start automatically.\n\n7) After programming the unit should restart automatically.\n\n8) The procedure above can be retried if not successful.", -1, "STATIC", 0x50020000, 13, 111, 314, 88
  CONTROL "There should now be a flashing red LED on the Tovrin provided the correct COM port was chosen.\n\n", -1, "STATIC", 0x50020000, 18, 87, 316, 14
EOF
[ "$(grep -c '^  CONTROL ' <<<"$dialog")" -eq 6 ] || fail "the dialog has other than six controls"

if [ "$failures" -gt 0 ]; then
    echo "check_exe: $exe: $failures check(s) failed" >&2
    exit 1
fi
echo "check_exe: $exe: PE32 for i386, Windows GUI, imports $(tr '\n' ' ' <<<"$dlls"); BINFILE, dialog FWU and manifest as built"
