# Sourced: start_instrument ZEPHINSTR OUTFILE [ARGS...] runs the instrument program on a new
# pseudo-terminal and sets instrument_pid and instrument_tty; stop_instrument ends it.
start_instrument() {
  local instr=$1 out=$2
  shift 2
  "$instr" "$@" > "$out" &
  instrument_pid=$!
  for _ in $(seq 1 200); do
    [ -s "$out" ] && break
    sleep 0.05
  done
  instrument_tty=$(head -n 1 "$out")
  [ -n "$instrument_tty" ] || { echo "the instrument printed no terminal" >&2; return 1; }
  echo "instrument on $instrument_tty"
}

stop_instrument() {
  [ -n "${instrument_pid:-}" ] || return 0
  kill "$instrument_pid" 2>/dev/null || true
  wait "$instrument_pid" 2>/dev/null || true
  instrument_pid=
}
