# Sourced by the Wine runs over a serial line (wine-serial.sh, wine-lintra-unload.sh): on top of
# wine-prefix.sh, the instrument program on a new pseudo-terminal and a fresh 32-bit prefix whose COM1
# is that terminal. Sets instrument_tty; the cleanup ends the instrument and this prefix's server.
# usage: wine_com1_prefix ZEPHINSTR   (from the repository's top folder)
#        wine_run_folder WIN32_BIN_DIR PROGRAM   (the DLLs and the program in a run folder; cd there)

source scripts/wine-prefix.sh
source tests/demo/instrument-pty.sh

wine_com1_prefix() {
  local instr=$1
  wine_need wine32
  trap wine_com1_cleanup EXIT
  wine_workdir
  start_instrument "$instr" "$wine_work/instrument.out" --seconds 600

  # A new prefix; COM1 is taken from the registry when Wine starts, so the server is restarted after.
  wine_prefix 32
  wine_wait 60 wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$instrument_tty" /f >/dev/null 2>&1
  wine_wait 60 wineserver -w
  echo "Wine prefix ready, COM1 = $instrument_tty"
  # A quiet persistent server, so its exit report does not end up in the output.
  wineserver -p >/dev/null 2>&1
}

wine_run_folder() {
  local bin=$1 program=$2
  mkdir -p "$wine_work/run"
  cp "$bin"/*.dll "$bin/$program" "$wine_work/run"/
  cd "$wine_work/run"
}

wine_com1_cleanup() {
  stop_instrument
  wine_cleanup
}
