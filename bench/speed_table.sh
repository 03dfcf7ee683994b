#!/bin/bash
# Builds the speed benchmarks (release preset) and prints their ratio rows as one table.
# Each row: subject against its baseline from the same run, median ratio of 3 repetitions and the
# spread (lowest-highest). Extra arguments go to every benchmark (e.g. --benchmark_min_time=0.5).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-3}
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target ostrel_pool platform_memory platform_waits platform_ioctl morvex_usb_stream >/dev/null
header_done=0
for b in ostrel_pool platform_memory platform_waits platform_ioctl morvex_usb_stream; do
  out=$(build/release/bin/$b --benchmark_repetitions=3 "$@" 2>/dev/null)
  if [ $header_done -eq 0 ]; then
    echo "$out" | grep '^|' | head -2
    header_done=1
  fi
  echo "$out" | grep '^|' | tail -n +3
done
