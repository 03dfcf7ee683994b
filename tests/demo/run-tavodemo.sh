#!/usr/bin/env bash
# The main job: a simulated instrument on a new pseudo-terminal, mapped to COM1, and the flat API's
# client bringing the link up through tavobridge, checking every byte of a measurement.
# usage: run-tavodemo.sh ZEPHINSTR TAVODEMO [BLOCKS]
set -euo pipefail
instr=$1 client=$2 blocks=${3:-200}
source "$(dirname "$0")/instrument-pty.sh"
out=$(mktemp)
trap 'stop_instrument; rm -f "$out"' EXIT
start_instrument "$instr" "$out" --seconds 300
# The stand-in opens COMn on the terminal that ZEPH_COMn names.
ZEPH_COM1=$instrument_tty "$client" --com 1 --blocks "$blocks" --timeout 10000
