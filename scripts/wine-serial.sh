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

source scripts/wine-com1-prefix.sh
wine_com1_prefix "$instr"

wine_run_folder "$bin" tavodemo.exe
wine tavodemo.exe --com 1 --blocks "$blocks" --timeout 20000
