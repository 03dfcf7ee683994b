#!/usr/bin/env bash
# The heap library's Windows build under Debian's Wine:
# - poolchurn.exe loads ostrel8.dll as a client does and runs rounds of threads that use the pool and
#   end; a thread whose end hangs in the library fails the run at its deadline;
# - poolexit.exe, run EXIT_RUNS times, starts 16 threads that use the pool and calls ExitProcess while
#   they run (every other run as a client that holds the pool through its loader, the others through
#   the factory's handle alone); each run must end within EXIT_DEADLINE seconds. Then half as many runs
#   with 32 threads, more than the pool has slots. It also checks that a block taken and given back
#   leaves the caller's last error alone.
# A run passes only on its status 0 and the lines the program prints when it has done its work, so a
# Wine that runs nothing fails.
# usage: wine-pool.sh [BIN_DIR] [ROUNDS] [DEADLINE_SECONDS] [EXIT_RUNS] [EXIT_DEADLINE_SECONDS]
# BIN_DIR holds ostrel8.dll, poolchurn.exe and poolexit.exe (i686 by default; an x86-64 build runs in
# a 64-bit prefix).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win32/bin}")
rounds=${2:-20}
deadline=${3:-300}
exit_runs=${4:-20}
exit_deadline=${5:-20}

bits=32
if objdump -f "$bin/poolchurn.exe" 2>/dev/null | grep -q 'x86-64'; then bits=64; fi

source scripts/wine-prefix.sh
trap wine_cleanup EXIT
if [ "$bits" = 64 ]; then wine_need wine64; else wine_need wine32; fi
wine_prefix "$bits"
wineserver -p >/dev/null 2>&1

run=$wine_work/run
mkdir -p "$run"
cp "$bin"/ostrel8.dll "$bin"/poolchurn.exe "$bin"/poolexit.exe "$run"/
cd "$run"

# Runs a program under Wine with a deadline; its output is shown and kept in $out. Fails the script
# with a reason when it does not end in time or ends with another status than 0.
out=$wine_work/out.txt
run_program() {
  local seconds=$1 status=0
  shift
  timeout --kill-after=10 "$seconds" "$wine_exe" "$@" >"$out" 2>&1 || status=$?
  cat "$out"
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    fail "wine-pool: $1 did not finish within ${seconds} s (${bits}-bit)"
  elif [ "$status" -ne 0 ]; then
    fail "wine-pool: $1 failed with status $status (${bits}-bit)"
  fi
}

# The line the program prints once its work is done.
expect_line() {
  grep -qxF -- "$1" <(tr -d '\r' <"$out") || fail "wine-pool: no line \"$1\" from $2 (${bits}-bit): it did not run"
}

run_program "$deadline" poolchurn.exe "$rounds" 4 10000 1500
expect_line "poolchurn: $rounds rounds done" poolchurn.exe

exit_probe() {
  local runs=$1 threads=$2 i mode start
  for i in $(seq 1 "$runs"); do
    mode=loader
    [ $((i % 2)) -eq 0 ] && mode=factory
    start=$(date +%s%N)
    run_program "$exit_deadline" poolexit.exe "$threads" 200 "$mode"
    expect_line "poolexit: the last error survives the pool" poolexit.exe
    expect_line "poolexit: $threads threads use the pool, exiting" poolexit.exe
    echo "poolexit run $i, $threads threads ($mode): ended after $(( ($(date +%s%N) - start) / 1000000 )) ms"
  done
}
exit_probe "$exit_runs" 16
exit_probe $((exit_runs / 2)) 32
echo "wine-pool: poolchurn.exe and $exit_runs + $((exit_runs / 2)) runs of poolexit.exe passed (${bits}-bit)"
