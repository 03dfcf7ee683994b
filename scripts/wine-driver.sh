#!/usr/bin/env bash
# The driver's Windows build, loaded by Wine's kernel (64-bit): vantrel.sys is created as a kernel
# service, started (DriverEntry reads its Parameters values; "configuration" set to 1, then to 2),
# queried RUNNING, stopped (unload) and deleted. From Wine's own traces: every pool block the driver
# allocated is freed by the end of the unload, and DriverEntry read the values that were set.
# usage: wine-driver.sh [WIN64_BIN_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win64/bin}")

source scripts/wine-prefix.sh
wine_need wine64
trap wine_cleanup EXIT

wine_prefix 64
cp "$bin/vantrel.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/"
service='HKLM\System\CurrentControlSet\Services\vantrel'
trace=$wine_work/ntoskrnl.log  # the kernel's calls, from the service host (which inherits it)
server=$wine_work/server.log   # the server's requests and replies (registry reads with their data)
: >"$trace"
# The 64-bit loader: under the 32-bit one the service host is 32-bit and cannot load the driver.
w64() { wine_wait 60 "$wine_exe" "$@" 2>>"$trace" | tr -d '\r'; }
sc_state() { w64 sc query vantrel | awk '$1 == "STATE" { print $4 }'; }

w64 sc create vantrel type= kernel start= demand 'binPath=' 'C:\windows\system32\drivers\vantrel.sys' >/dev/null ||
  fail "sc create"
w64 reg add "$service\\Parameters" /v BreakOnEntry /t REG_DWORD /d 0 /f >/dev/null
# The service manager reads its services when the server starts: a new server finds the new one. It
# stays (persistent) from the start to the stop, so the service host keeps the driver loaded.
wine_wait 30 wineserver -k || true
wine_wait 30 wineserver -w
export WINEDEBUG=+pid,trace+ntoskrnl
wine_wait 30 wineserver -p -d1 2>"$server"

# The unload of the k-th load: "blocks allocated, freed, left" of the service host that loaded the
# driver, from the load to the driver object's deletion; "none" while the unload has not finished.
pool_balance() {
  awk -v k="$1" '
    /:trace:ntoskrnl:load_driver loading driver .*vantrel\.sys/ { if (++n == k) { split($0, f, ":"); pid = f[1]; on = 1 } }
    !on || index($0, pid ":") != 1 { next }
    /:trace:ntoskrnl:ExAllocatePoolWithTag / { live[$NF] = 1; ++made; next }
    /:trace:ntoskrnl:ExFreePoolWithTag / { if ($NF in live) { delete live[$NF]; ++freed }; next }
    /:trace:ntoskrnl:unload_driver L".*vantrel"/ { unloading = 1; next }
    unloading && /:trace:ntoskrnl:IoDeleteDriver / { done = 1; exit }
    END { left = 0; for (a in live) ++left; if (done) print made + 0, freed + 0, left; else print "none" }' "$trace"
}

# What the k-th load's DriverEntry read as value NAME of its Parameters key: "access data" (the key's
# access mask and the value's bytes), from the server's requests from line FROM on.
value_read() {
  local k=$1 name=$2 from=$3 tid
  tid=$(awk -v k="$k" '/:trace:ntoskrnl:load_driver loading driver .*vantrel\.sys/ { if (++n == k) { split($0, f, ":"); print f[2]; exit } }' "$trace")
  [ -n "$tid" ] || return 0
  awk -v from="$from" -v t="$tid: " -v name="$name" '
    NR < from || index($0, t) != 1 { next }
    index($0, "open_key( ") && index($0, "name=L\"\\\\Registry\\\\Machine\\\\System\\\\CurrentControlSet\\\\Services\\\\vantrel\\\\Parameters\" )") {
      opening = 1; access = $0; sub(/.*access=/, "", access); sub(/,.*/, "", access); next }
    opening && index($0, "open_key() = 0 { hkey=") { hkey = $0; sub(/.*hkey=/, "", hkey); sub(/ .*/, "", hkey); opening = 0; next }
    hkey != "" && index($0, "get_key_value( hkey=" hkey ", name=L\"" name "\" )") { asked = 1; next }
    asked && index($0, "get_key_value() = ") { data = $0; sub(/.*data=/, "", data); sub(/ .*/, "", data); print access, data; exit }' "$server"
}

loads=0
for configuration in 1 2; do
  w64 reg add "$service\\Parameters" /v configuration /t REG_DWORD /d "$configuration" /f >/dev/null
  from=$(($(wc -l <"$server") + 1))
  w64 sc start vantrel >/dev/null || fail "sc start (configuration $configuration)"
  loads=$((loads + 1))
  state=$(sc_state)
  [ "$state" = RUNNING ] || fail "after sc start the service is ${state:-not there}, not RUNNING"
  echo "vantrel RUNNING (configuration $configuration)"

  read_configuration=$(value_read "$loads" configuration "$from")
  read_break=$(value_read "$loads" BreakOnEntry "$from")
  [ "$read_configuration" = "00020019 {0$configuration,00,00,00}" ] ||
    fail "DriverEntry did not read configuration = $configuration from its Parameters key for reading (read: ${read_configuration:-nothing})"
  [ "$read_break" = "00020019 {00,00,00,00}" ] || fail "DriverEntry did not read BreakOnEntry = 0 (read: ${read_break:-nothing})"
  echo "DriverEntry read configuration = $configuration and BreakOnEntry = 0 (Parameters opened with access ${read_configuration%% *})"

  w64 sc stop vantrel >/dev/null || fail "sc stop"
  balance=none
  for _ in $(seq 1 300); do
    state=$(sc_state)
    balance=$(pool_balance "$loads")
    [ "$state" = STOPPED ] && [ "$balance" != none ] && break
    sleep 0.1
  done
  [ "$state" = STOPPED ] || fail "after sc stop the service is ${state:-not there}, not STOPPED"
  [ "$balance" != none ] || fail "the driver was not unloaded"
  read -r made freed left <<<"$balance"
  echo "unloaded: $made pool blocks allocated, $freed freed, $left left"
  # Entry alone allocates both arenas and the driver's own records.
  [ "$made" -ge 4 ] || fail "only $made pool allocations seen: the trace does not show the driver's"
  [ "$left" -eq 0 ] || fail "$left pool blocks allocated by the driver were not freed at unload"
done

w64 sc delete vantrel >/dev/null || fail "sc delete"
rc=0
w64 sc query vantrel >/dev/null || rc=$?
[ "$rc" -ne 0 ] && [ "$rc" -ne 124 ] || fail "the service is still there after sc delete"
if w64 reg query "$service" >/dev/null; then fail "the service's key is still there after sc delete"; fi
echo "vantrel deleted"
