# Sourced by the Wine runs over a serial line (wine-serial.sh, wine-lintra-unload.sh): Debian's 32-bit
# Wine, the instrument program on a new pseudo-terminal and a fresh Wine prefix under a temporary
# folder whose COM1 is that terminal. Sets work (the temporary folder, removed at exit), WINEPREFIX
# and instrument_tty; the cleanup ends the instrument and this prefix's Wine server.
# usage: wine_com1_prefix ZEPHINSTR   (from the repository's top folder)
#        wine_run_folder WIN32_BIN_DIR PROGRAM   (the DLLs and the program in a run folder; cd there)

wine_com1_prefix() {
  local instr=$1
  # Debian's 32-bit Wine; the i386 architecture first.
  if ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
    local as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" dpkg --add-architecture i386
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends wine wine32:i386
  fi

  source tests/demo/instrument-pty.sh
  work=$(mktemp -d)
  export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap wine_com1_cleanup EXIT
  start_instrument "$instr" "$work/instrument.out" --seconds 600

  # A new prefix; COM1 is taken from the registry when Wine starts, so the server is restarted after.
  wineboot -i >/dev/null 2>&1
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
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
