#!/usr/bin/env bash
# The i686 tavobridge.dll exports exactly the names of tavobridge/tavobridge.def, undecorated.
# usage: check-tavobridge-exports.sh [DLL]
set -euo pipefail
cd "$(dirname "$0")/.."
dll=${1:-build/win32/bin/tavobridge.dll}
want=$(awk 'f && NF {print $1} /^EXPORTS/ {f=1}' tavobridge/tavobridge.def | sort)
have=$(i686-w64-mingw32-objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {f=1; next} f && /^\t\[/ {print $NF; next} f {f=0}' | sort)
if [ "$want" != "$have" ]; then
  echo "tavobridge.dll exports differ from tavobridge.def:" >&2
  diff <(echo "$want") <(echo "$have") >&2 || true
  exit 1
fi
echo "tavobridge.dll: $(echo "$have" | wc -l) exports, as listed"
