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

# Debian's 32-bit Wine; the i386 architecture first.
if ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" dpkg --add-architecture i386
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends wine wine32:i386
fi

source tests/demo/instrument-pty.sh
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  stop_instrument
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
start_instrument "$instr" "$work/instrument.out" --seconds 600
tty=$instrument_tty

# A new prefix; COM1 is taken from the registry when Wine starts, so the server is restarted after.
wineboot -i >/dev/null 2>&1
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
