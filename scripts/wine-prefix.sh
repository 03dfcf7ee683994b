# Shared by the Wine checks (sourced): Debian's Wine, installed when missing, and a fresh prefix in a
# folder of our own that goes, with its server, when the script ends.
# wine_prefix_start [ARCH]: sets $work and WINEPREFIX and boots the prefix (WINEARCH=ARCH when given).
# wine_prefix_cleanup: ends this prefix's server and removes the folder (call it from the EXIT trap).

wine_prefix_install() {
  # Debian's 32-bit and 64-bit Wine; the i386 architecture first.
  if ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1 || ! dpkg -s wine64 >/dev/null 2>&1; then
    local as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" dpkg --add-architecture i386
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends wine wine32:i386 wine64
  fi
}

wine_prefix_start() {
  wine_prefix_install
  work=$(mktemp -d)
  export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ -n "${1:-}" ]; then export WINEARCH=$1; fi
  wineboot -i >/dev/null 2>&1
  wineserver -w
}

wine_prefix_cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
  if [ -n "${work:-}" ]; then rm -rf "$work"; fi
}
