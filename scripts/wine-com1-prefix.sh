# Sourced by the Wine runs over a serial line (wine-serial.sh, wine-lintra-unload.sh): a fresh prefix
# of wine-prefix.sh whose COM1 is the pseudo-terminal of the instrument program. Sets work (the
# temporary folder, removed at exit), WINEPREFIX and instrument_tty; the cleanup ends the instrument
# and this prefix's Wine server.
# usage: wine_com1_prefix ZEPHINSTR   (from the repository's top folder)
#        wine_run_folder WIN32_BIN_DIR PROGRAM   (the DLLs and the program in a run folder; cd there)

wine_com1_prefix() {
  local instr=$1
  source scripts/wine-prefix.sh
  source tests/demo/instrument-pty.sh
  trap wine_com1_cleanup EXIT
  wine_prefix_start
  start_instrument "$instr" "$work/instrument.out" --seconds 600

  # COM1 is taken from the registry when Wine starts, so the server is restarted after.
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$instrument_tty" /f >/dev/null 2>&1
  wineserver -w
  echo "Wine prefix ready, COM1 = $instrument_tty"
  # A quiet persistent server, so its exit report does not end up in the output.
  wineserver -p >/dev/null 2>&1
}

wine_run_folder() {
  local bin=$1 program=$2
  mkdir -p "$work/run"
  cp "$bin"/*.dll "$bin/$program" "$work/run"/
  cd "$work/run"
}

wine_com1_cleanup() {
  stop_instrument
  wine_prefix_cleanup
}
