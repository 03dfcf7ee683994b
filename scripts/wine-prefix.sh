# Sourced by the scripts that run Windows builds under Debian's Wine: installs what they need when it
# is missing, makes a fresh prefix under a temporary folder and ends its server on exit. Every wait is
# bounded (timeout), so a hang fails the run.
#
#   wine_need PACKAGE...        wine32 (32-bit prefixes), wine64, xvfb; installs only what is absent
#   wine_prefix 32|64           new prefix in $wine_work/prefix, booted; sets WINEPREFIX and wine_exe
#   wine_workdir                makes $wine_work (the others call it)
#   wine_start_x                a virtual X server on the first free display of :91-:94; sets DISPLAY
#   wine_wait SECONDS CMD...    runs CMD with a deadline (timeout's exit code 124 on expiry)
#   wine_wait_job PID SECONDS   waits for a background job; its exit code, 124 when still running
#   wine_processes PROGRAM      ids of this prefix's processes that run PROGRAM (e.g. keelmon.exe)
#   fail TEXT                   says what failed and ends the run
# The caller's EXIT trap calls wine_cleanup.

wine_deadline=${WINE_DEADLINE:-120}

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Debian packages, and the i386 architecture first for the 32-bit Wine.
wine_need() {
  local need=() p
  for p in "$@"; do
    case $p in
      wine32) dpkg -s wine32:i386 >/dev/null 2>&1 && command -v wine >/dev/null || need+=(wine wine32:i386) ;;
      wine64) [ -x /usr/lib/wine/wine64 ] && dpkg -s wine64 >/dev/null 2>&1 || need+=(wine wine64) ;;
      xvfb) command -v Xvfb >/dev/null && command -v xwd >/dev/null && command -v convert >/dev/null ||
        need+=(xvfb x11-apps imagemagick) ;;
      *) echo "wine_need: unknown package $p" >&2; return 1 ;;
    esac
  done
  [ ${#need[@]} -gt 0 ] || return 0
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  if [[ " ${need[*]} " == *":i386 "* ]]; then "${as_root[@]}" dpkg --add-architecture i386; fi
  "${as_root[@]}" apt-get update -qq || true
  local release
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  # A mirror whose i386 security index lags its amd64 one makes the resolver pair an updated amd64
  # library with an i386 copy that does not exist; the release's own versions pair up.
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" ||
    { [ -n "$release" ] &&
      DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
        -t "$release" "${need[@]}"; }
}

wine_wait() {
  local seconds=$1
  shift
  timeout -k 5 "$seconds" "$@"
}

wine_workdir() { [ -n "${wine_work:-}" ] || wine_work=$(mktemp -d); }

# 32: Debian's wine (the 32-bit loader). 64: the 64-bit loader itself, since the wine wrapper prefers
# the 32-bit one, whose service host cannot load a 64-bit driver.
wine_prefix() {
  wine_workdir
  export WINEPREFIX=$wine_work/prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
  if [ "$1" = 64 ]; then
    export WINEARCH=win64
    wine_exe=/usr/lib/wine/wine64
  else
    export WINEARCH=win32
    wine_exe=wine
  fi
  wine_wait "$wine_deadline" "$wine_exe" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; return 1; }
  wine_wait "$wine_deadline" wineserver -w
}

wine_start_x() {
  local n
  wine_workdir
  for n in 91 92 93 94; do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$wine_work/xvfb.log" 2>&1 &
    wine_x_pid=$!
    local _
    for _ in $(seq 1 100); do
      # Ours once the lock names our server (another run may have taken the display first).
      if [ -S "/tmp/.X11-unix/X$n" ] && [ "$(tr -d ' \n' <"/tmp/.X$n-lock" 2>/dev/null)" = "$wine_x_pid" ]; then
        export DISPLAY=":$n"
        echo "virtual display :$n"
        return 0
      fi
      kill -0 "$wine_x_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$wine_x_pid" 2>/dev/null || true
    wait "$wine_x_pid" 2>/dev/null || true
    wine_x_pid=
  done
  echo "no virtual display free among :91-:94" >&2
  return 1
}

wine_wait_job() {
  local pid=$1 seconds=$2 _
  for _ in $(seq 1 $((seconds * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && return 124
  local rc=0
  wait "$pid" || rc=$?
  return "$rc"
}

# Other prefixes' processes (other runs on the machine) are not ours to see.
wine_processes() {
  local pid
  for pid in $(pgrep -f -- "^([^ ]*[\\/])?${1//./\\.}( |$)" || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
  return 0
}

wine_cleanup() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX:-}" ]; then
    wine_wait 30 wineserver -k 2>/dev/null || true
    wine_wait 30 wineserver -w 2>/dev/null || true
  fi
  if [ -n "${wine_x_pid:-}" ]; then
    kill "$wine_x_pid" 2>/dev/null || true
    wait "$wine_x_pid" 2>/dev/null || true
    wine_x_pid=
  fi
  [ -z "${wine_work:-}" ] || rm -rf "$wine_work"
}
