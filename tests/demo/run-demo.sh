#!/usr/bin/env bash
# Runs a simulated instrument on a new pseudo-terminal and the host's serial link against it.
# usage: run-demo.sh ZEPHINSTR ZEPHLINK [BLOCKS]
set -euo pipefail
instr=$1 link=$2 blocks=${3:-100}
out=$(mktemp)
"$instr" --seconds 120 > "$out" &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 1 200); do
  [ -s "$out" ] && break
  sleep 0.05
done
tty=$(head -n 1 "$out")
[ -n "$tty" ] || { echo "the instrument printed no terminal" >&2; exit 1; }
echo "instrument on $tty"
"$link" "$tty" "$blocks"
