#!/usr/bin/env bash
# Checks the cross-built driver image: a native x86-64 PE whose entry point is DriverEntry and whose
# imports come from the kernel and the USB driver library only.
# Usage: scripts/check-driver-image.sh [path to vantrel.sys] (default: build/win64/bin/vantrel.sys)
set -euo pipefail
image=${1:-build/win64/bin/vantrel.sys}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
nm=${NM:-x86_64-w64-mingw32-nm}
fail() { echo "check-driver-image: $image: $*" >&2; exit 1; }
[ -f "$image" ] || fail "missing"
headers=$("$objdump" -p "$image")
grep -q "file format pei-x86-64" <<<"$headers" || fail "not an x86-64 PE image"
grep -Eq "^Magic[[:space:]]+020b" <<<"$headers" || fail "not PE32+"
grep -Eq "^Subsystem[[:space:]]+00000001" <<<"$headers" || fail "subsystem is not native"
entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
driver_entry=$("$nm" "$image" | awk '$3 == "DriverEntry" {print $1}')
[ -n "$driver_entry" ] || fail "no DriverEntry symbol"
[ $((16#$base + 16#$entry)) -eq $((16#$driver_entry)) ] || fail "entry point is not DriverEntry"
dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u)
[ -n "$dlls" ] || fail "no imports"
for d in $dlls; do
  case "$d" in
    ntoskrnl.exe | usbd.sys) ;;
    *) fail "imports from $d" ;;
  esac
done
echo "check-driver-image: $image: native x86-64, entry DriverEntry, imports: $(echo $dlls)"
