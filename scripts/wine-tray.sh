#!/usr/bin/env bash
# The tray program's Windows build, run under Debian's 32-bit Wine on a virtual X display: a first
# instance starts and stays; a second one shows the single-instance box (found and read by
# trayprobe.exe, then OK pressed) and ends; the first ends with exit code 0 when the tray menu's
# "Close application" is chosen through its tray window. A screenshot of the box is kept (not compared).
# usage: wine-tray.sh [WIN32_BIN_DIR] [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win32/bin}")
out=$(realpath -m "${2:-build/wine}")
box_text="There is already a Keelmon application running."

source scripts/wine-prefix.sh
wine_need wine32 xvfb
trap wine_cleanup EXIT

wine_start_x
wine_prefix 32
wineserver -p >/dev/null 2>&1
run=$wine_work/run
mkdir -p "$run" "$out"
cp "$bin"/*.dll "$bin"/keelmon.exe "$bin"/trayprobe.exe "$run"/
cd "$run"
# (Wine's console ends lines with CR LF.)
probe() { wine_wait 60 wine trayprobe.exe "$@" | tr -d '\r'; }

wine_wait 300 wine keelmon.exe >first.out 2>&1 &
first=$!
tray_owner=$(probe tray) || fail "the first instance shows no tray window"
echo "first instance up (tray window of process $tray_owner)"

wine_wait 60 wine keelmon.exe >second.out 2>&1 &
second=$!
box=$(probe box Keelmon) || fail "the second instance shows no box"
box_owner=${box%% *}
echo "box of process $box_owner: \"${box#* }\""
[ "${box#* }" = "$box_text" ] || fail "the box says \"${box#* }\", not \"$box_text\""
[ "$box_owner" != "$tray_owner" ] || fail "the box belongs to the first instance"
if xwd -root -silent | convert xwd:- "$out/keelmon-second-instance.png"; then
  echo "screenshot: $out/keelmon-second-instance.png"
else
  echo "no screenshot (xwd or convert failed)"
fi
probe ok Keelmon || fail "OK could not be pressed"
rc=0
wine_wait_job "$second" 30 || rc=$?
[ "$rc" -ne 124 ] || fail "the second instance did not end"
echo "second instance ended (exit code $rc)"

kill -0 "$first" 2>/dev/null || fail "the first instance ended with the second"
[ "$(probe tray)" = "$tray_owner" ] || fail "the first instance's tray window is gone"
probe close keelmon.exe || fail "\"Close application\" could not be chosen"
rc=0
wine_wait_job "$first" 30 || rc=$?
[ "$rc" -ne 124 ] || fail "the first instance did not end after \"Close application\""
[ "$rc" -eq 0 ] || fail "the first instance ended with exit code $rc"
left=$(wine_processes keelmon.exe)
[ -z "$left" ] || fail "keelmon.exe still running: $left"
echo "first instance ended after \"Close application\" (exit code 0, no process left)"
