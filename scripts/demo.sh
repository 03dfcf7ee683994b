#!/usr/bin/env bash
# The main job on the simulated instrument: a serial link brought up over a pseudo-terminal, the
# instrument identified, and a measurement streamed and checked end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 4)" --target zephinstr zephlink >/dev/null
bash tests/demo/run-demo.sh build/release/bin/zephinstr build/release/bin/zephlink "${1:-500}"
