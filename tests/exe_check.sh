#!/bin/sh
# What Explorer and the loader see of pvr-launch.exe: a GUI program that
# imports only the system's own DLLs, with two icon images (32x32 and 16x16
# at 8 bits per pixel, by their sizes), a version record, the event log's
# messages, a manifest and no other resources. Usage: exe_check.sh OBJDUMP EXE VERSION
set -eu
headers=$("$1" -p "$2")
echo "$headers" | grep -q 'Subsystem.*(Windows GUI)'
dlls=$(echo "$headers" | sed -n 's/.*DLL Name: //p' | tr A-Z a-z | sort | xargs)
test "$dlls" = "advapi32.dll kernel32.dll msvcrt.dll user32.dll" ||
  { echo "imports: $dlls" >&2; exit 1; }
# Each resource as its type (icon 3, icon group e, version 10, message
# table b, manifest 18) and size.
resources=$(echo "$headers" | sed -n '/Resource Directory section/,$p' |
  awk '/^[0-9a-f]+   Entry/ { type = $4 } /Leaf/ { print type, $6 }' |
  tr -d , | xargs)
echo "$resources" | grep -q "^0x000003 0x0008a8 0x000003 0x000568 0x00000b \
[^ ]* 0x00000e 0x000022 0x000010 [^ ]* 0x000018 [^ ]*$" ||
  { echo "resources: $resources" >&2; exit 1; }
# The manifest: no elevation, Windows 7 to 11, long paths, per-monitor DPI
# awareness, the current common controls.
test "$(strings -a "$2" | grep -c -e 'level="asInvoker"' -e 'supportedOS Id' \
  -e '">true</longPathAware>' -e '>PerMonitorV2' -e 'Windows.Common-Controls')" \
  -eq 8
strings -el "$2" | grep -qx "$3"
