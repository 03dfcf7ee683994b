#!/usr/bin/env bash
# The main job on the simulated instrument: the flat API's client (tavodemo) brings a link up through
# tavobridge over a COM port on a pseudo-terminal, identifies the instrument, reads its configuration
# and state, streams a measurement and checks every byte. Over USB too when the driver is built.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 4)
cmake --preset release >/dev/null
targets=$(cmake --build --preset release --target help 2>/dev/null | sed -n 's/^\([A-Za-z0-9_]*\): .*/\1/p')
has() { grep -qx "$1" <<<"$targets"; }
blocks=${1:-500}
cmake --build --preset release -j "$jobs" --target zephinstr tavodemo tavobridge morvex karnet8 ostrel8 lintra8 >/dev/null
bash tests/demo/run-tavodemo.sh build/release/bin/zephinstr build/release/bin/tavodemo "$blocks"
if has tavodemo_usb; then
  cmake --build --preset release -j "$jobs" --target tavodemo_usb >/dev/null
  build/release/bin/tavodemo_usb --blocks "$blocks"
fi
