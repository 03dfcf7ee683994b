#!/usr/bin/env bash
# The heap library's Windows build under Debian's Wine: poolchurn.exe loads ostrel8.dll as a client
# does and runs rounds of threads that use the pool and end. A thread whose end hangs in the library
# fails the run at its deadline.
# usage: wine-pool.sh [BIN_DIR] [ROUNDS] [DEADLINE_SECONDS]
# BIN_DIR holds ostrel8.dll and poolchurn.exe (i686 by default; an x86-64 build runs in a 64-bit prefix).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win32/bin}")
rounds=${2:-20}
deadline=${3:-300}

arch=win32
if objdump -f "$bin/poolchurn.exe" 2>/dev/null | grep -q 'x86-64'; then arch=win64; fi

source scripts/wine-prefix.sh
trap wine_prefix_cleanup EXIT
wine_prefix_start "$arch"
wineserver -p >/dev/null 2>&1

run=$work/run
mkdir -p "$run"
cp "$bin"/ostrel8.dll "$bin"/poolchurn.exe "$run"/
cd "$run"
status=0
timeout --kill-after=10 "$deadline" wine poolchurn.exe "$rounds" 4 10000 1500 || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "wine-pool: poolchurn.exe did not finish within ${deadline} s ($arch)" >&2
elif [ "$status" -ne 0 ]; then
  echo "wine-pool: poolchurn.exe failed with status $status ($arch)" >&2
fi
exit "$status"
