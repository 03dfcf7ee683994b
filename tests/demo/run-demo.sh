#!/usr/bin/env bash
# Runs a simulated instrument on a new pseudo-terminal and the host's serial link against it.
# usage: run-demo.sh ZEPHINSTR ZEPHLINK [BLOCKS]
set -euo pipefail
instr=$1 link=$2 blocks=${3:-100}
source "$(dirname "$0")/instrument-pty.sh"
out=$(mktemp)
trap 'stop_instrument; rm -f "$out"' EXIT
start_instrument "$instr" "$out" --seconds 120
"$link" "$instrument_tty" "$blocks"
