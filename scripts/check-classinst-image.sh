#!/usr/bin/env bash
# Checks the cross-built class installer: an x86-64 DLL with no entry point that imports nothing
# (its import directory, when the linker leaves one, names no library).
# Usage: scripts/check-classinst-image.sh [path to VANTREL_CI.dll] (default: build/win64/bin/VANTREL_CI.dll)
set -euo pipefail
image=${1:-build/win64/bin/VANTREL_CI.dll}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
fail() { echo "check-classinst-image: $image: $*" >&2; exit 1; }
[ -f "$image" ] || fail "missing"
headers=$("$objdump" -p "$image")
grep -q "file format pei-x86-64" <<<"$headers" || fail "not an x86-64 PE image"
grep -Eq "^Characteristics.*DLL|^[[:space:]]+DLL$" <<<"$headers" || fail "not a DLL"
entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
[ $((16#$entry)) -eq 0 ] || fail "has an entry point (0x$entry)"
dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers")
[ -z "$dlls" ] || fail "imports from $(echo $dlls)"
echo "check-classinst-image: $image: x86-64 DLL, no entry point, no imports"
