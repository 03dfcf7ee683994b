#!/usr/bin/env bash
# The serial transport's unload under Debian's 32-bit Wine: lintra_unload.exe loads lintra8.dll,
# registers a line on COM1 (the instrument program's pseudo-terminal, so the line's threads run),
# lets go of it and of the library's interface, and calls FreeLibrary; once with the line still
# registered, once after unregistering it. FreeLibrary must return within a second in both: the
# library never waits for its threads at unload, under the loader lock.
# Each run must show its evidence: the line registered, and FreeLibrary's time. A COM1 that cannot be
# registered is told apart from a FreeLibrary that did not return (or took too long), and the
# instrument must have received tokens from the lines.
# usage: wine-lintra-unload.sh [WIN32_BIN_DIR] [ZEPHINSTR]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win32/bin}")
instr=$(realpath "${2:-build/asan/bin/zephinstr}")

source scripts/wine-com1-prefix.sh
wine_com1_prefix "$instr"

wine_run_folder "$bin" lintra_unload.exe
failed=0
wrong() {
  echo "FAILED: $*" >&2
  failed=1
}
for mode in "" --close; do
  what="lintra8.dll unload with a line registered"
  [ -z "$mode" ] || what="lintra8.dll unload after the line was closed"
  registered="line on COM1 registered${mode:+ and closed}"
  rc=0
  # A FreeLibrary that deadlocks never returns: the program is given far more than the second. Into a
  # file, not a pipe: Wine's services inherit the output and would hold a pipe open.
  wine_wait 60 wine lintra_unload.exe --com 1 $mode >unload.raw 2>&1 || rc=$?
  tr -d '\r' <unload.raw | tee unload.out
  ms=$(sed -n 's/^FreeLibrary returned after \([0-9][0-9]*\) ms$/\1/p' unload.out | tail -n 1)
  if grep -q 'cannot be registered' unload.out; then
    wrong "$what: the line's COM port could not be registered, so the unload was not tried"
  elif ! grep -qx "$registered" unload.out; then
    wrong "$what: lintra_unload.exe never reported \"$registered\" (exit status $rc)"
  elif [ -z "$ms" ]; then
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
      wrong "$what: FreeLibrary did not return (the program was stopped after 60 s)"
    else
      wrong "$what: FreeLibrary never reported returning (exit status $rc)"
    fi
  elif [ "$ms" -ge 1000 ]; then
    wrong "$what: FreeLibrary returned after $ms ms, not within a second"
  elif [ "$rc" -ne 0 ]; then
    wrong "$what: lintra_unload.exe ended with $rc"
  else
    echo "evidence: $what, FreeLibrary returned after $ms ms"
  fi
done
instrument_tokens
[ "$tokens" -gt 0 ] || wrong "the instrument received no token: no line reached it over COM1"
exit $failed
