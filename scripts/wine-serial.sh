#!/usr/bin/env bash
# The Windows build, run for real under Debian's 32-bit Wine over a serial line: a fresh Wine prefix
# maps COM1 to the pseudo-terminal of the instrument program, and tavodemo.exe, with the i686 DLLs
# beside it, brings the link up, identifies the instrument and streams a checked measurement
# through tavobridge.dll -> morvex8.dll -> lintra8.dll -> Wine's COM port -> the instrument.
# The exit status alone proves nothing (a wine that runs nothing ends with 0): the run must show the
# program's own report (every block read and checked, the instrument's count agreeing) and the
# instrument's, a token count above 0.
# usage: wine-serial.sh [WIN32_BIN_DIR] [ZEPHINSTR] [BLOCKS]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win32/bin}")
instr=$(realpath "${2:-build/asan/bin/zephinstr}")
blocks=${3:-100}

source scripts/wine-com1-prefix.sh
wine_com1_prefix "$instr"

wine_run_folder "$bin" tavodemo.exe
rc=0
# Into a file, not a pipe: Wine's services inherit the output and would hold a pipe open.
wine_wait 120 wine tavodemo.exe --com 1 --blocks "$blocks" --timeout 20000 >tavodemo.raw || rc=$?
tr -d '\r' <tavodemo.raw | tee tavodemo.out
failed=0
wrong() {
  echo "FAILED: $*" >&2
  failed=1
}
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
  wrong "tavodemo.exe did not end within 120 s"
elif [ "$rc" -ne 0 ]; then
  wrong "tavodemo.exe ended with $rc"
fi
for want in "link: COM1 at " "  $blocks/$blocks blocks, " "state: run 0, blocks sent $blocks, " \
  "result: every byte checked, none lost or corrupt"; do
  grep -qF -- "$want" tavodemo.out || wrong "tavodemo.exe never reported \"$want...\""
done
instrument_tokens
[ "$tokens" -gt 0 ] || wrong "the instrument received no token: nothing reached it over COM1"
[ "$failed" -ne 0 ] || echo "evidence: tavodemo.exe checked $blocks blocks over COM1; the instrument received $tokens tokens"
exit "$failed"
