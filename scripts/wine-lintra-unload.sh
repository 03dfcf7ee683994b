#!/usr/bin/env bash
# The serial transport's unload under Debian's 32-bit Wine: lintra_unload.exe loads lintra8.dll,
# registers a line on COM1 (the instrument program's pseudo-terminal, so the line's threads run),
# lets go of it and of the library's interface, and calls FreeLibrary; once with the line still
# registered, once after unregistering it. FreeLibrary must return within a second in both: the
# library never waits for its threads at unload, under the loader lock.
# usage: wine-lintra-unload.sh [WIN32_BIN_DIR] [ZEPHINSTR]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win32/bin}")
instr=$(realpath "${2:-build/asan/bin/zephinstr}")

source scripts/wine-com1-prefix.sh
wine_com1_prefix "$instr"

wine_run_folder "$bin" lintra_unload.exe
failed=0
for mode in "" --close; do
  # A FreeLibrary that deadlocks never returns: the program is given far more than the second.
  if ! timeout 60 wine lintra_unload.exe --com 1 $mode; then
    echo "lintra8.dll unload ${mode:-with a line registered}: FreeLibrary did not return within a second" >&2
    failed=1
  fi
done
exit $failed
