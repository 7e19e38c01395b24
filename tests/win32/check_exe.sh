#!/usr/bin/env bash
# check_exe.sh EXE IMAGE MANIFEST: checks the shipped 32-bit fwu.exe without
# running it. Its headers: PE32 for i386, the Windows GUI subsystem, imports
# from system DLLs only. Its resources: BINFILE byte for byte the image and
# the manifest its file, read out by scripts/authenticode.py; the dialog "FWU"
# as the window must be, read back by binutils' windres.
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

# The image and the manifest, read out of the executable's resources: byte for byte their files.
reader=$(dirname "$0")/../../scripts/authenticode.py
"$reader" resource "$exe" 10 BINFILE | cmp -s - "$image" || fail "resource BINFILE differs from its file"
"$reader" resource "$exe" 24 1 | cmp -s - "$manifest" || fail "the manifest (resource 1 of type 24) differs from its file"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
i686-w64-mingw32-windres -i "$exe" -O rc -o "$scratch/exe.rc" || { echo "check_exe: windres cannot read $exe" >&2; exit 1; }
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
