#!/usr/bin/env bash
# The Windows build, run for real under Debian's 32-bit Wine over a serial line: a fresh Wine prefix
# maps COM1 to the pseudo-terminal of the instrument program, and tavodemo.exe, with the i686 DLLs
# beside it, brings the link up, identifies the instrument and streams a checked measurement
# through tavobridge.dll -> morvex8.dll -> lintra8.dll -> Wine's COM port -> the instrument.
# usage: wine-serial.sh [WIN32_BIN_DIR] [ZEPHINSTR] [BLOCKS]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win32/bin}")
instr=$(realpath "${2:-build/asan/bin/zephinstr}")
blocks=${3:-100}

source scripts/wine-prefix.sh
source tests/demo/instrument-pty.sh
cleanup() {
  stop_instrument
  wine_prefix_cleanup
}
trap cleanup EXIT
wine_prefix_start
start_instrument "$instr" "$work/instrument.out" --seconds 600
tty=$instrument_tty

# COM1 is taken from the registry when Wine starts, so the server is restarted after.
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$tty" /f >/dev/null 2>&1
wineserver -w
echo "Wine prefix ready, COM1 = $tty"
# A quiet persistent server, so its exit report does not end up in the output.
wineserver -p >/dev/null 2>&1

run=$work/run
mkdir -p "$run"
cp "$bin"/*.dll "$bin"/tavodemo.exe "$run"/
cd "$run"
wine tavodemo.exe --com 1 --blocks "$blocks" --timeout 20000
