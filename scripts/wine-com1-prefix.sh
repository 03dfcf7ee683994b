# Sourced by the Wine runs over a serial line (wine-serial.sh, wine-lintra-unload.sh): on top of
# wine-prefix.sh, the instrument program on a new pseudo-terminal and a fresh 32-bit prefix whose COM1
# is that terminal. Sets instrument_tty; the cleanup ends the instrument and this prefix's server.
# usage: wine_com1_prefix ZEPHINSTR   (from the repository's top folder)
#        wine_run_folder WIN32_BIN_DIR PROGRAM   (the DLLs and the program in a run folder; cd there)
#        instrument_tokens   (stops the instrument, shows its report; sets tokens to what it received)

source scripts/wine-prefix.sh
source tests/demo/instrument-pty.sh

wine_com1_prefix() {
  local instr=$1
  wine_need wine32
  trap wine_com1_cleanup EXIT
  wine_workdir
  # What the instrument reports when it stops (its counts) is kept for instrument_tokens.
  start_instrument "$instr" "$wine_work/instrument.out" --seconds 600 2>"$wine_work/instrument.err" ||
    { cat "$wine_work/instrument.err" >&2; return 1; }

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

# The evidence that a program really talked to the instrument: the tokens the instrument received
# (from its report, printed when it stops; 0 when it reported none). Not in a subshell: the instrument
# is this shell's child, waited for here.
instrument_tokens() {
  stop_instrument
  grep '^zephinstr: tokens' "$wine_work/instrument.err" || true
  tokens=$(sed -n 's/^zephinstr: tokens \([0-9][0-9]*\) .*/\1/p' "$wine_work/instrument.err" | tail -n 1)
  tokens=${tokens:-0}
}

wine_com1_cleanup() {
  stop_instrument
  wine_cleanup
}
