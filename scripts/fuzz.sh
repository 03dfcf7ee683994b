#!/usr/bin/env bash
# Runs the fuzz targets of fuzz/ under libFuzzer, each for a set time.
#   scripts/fuzz.sh [-t seconds] [-p parallel] [target...]     (default: 900 s each, 4 at a time, all)
# Builds build/fuzz with clang-14 (-fsanitize=fuzzer,address,undefined; the stand-in and every
# library the targets load built the same way). New inputs go to build/fuzz/corpus/<name>, the kept
# seeds (fuzz/corpus/<name>) are read only; a crash leaves its input in build/fuzz/artifacts/<name>/.
# Each target's log is build/fuzz/logs/<name>.log; the summary prints its last figures.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=900
parallel=4
while getopts "t:p:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    p) parallel=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

flags="-fsanitize=address,undefined,fuzzer-no-link -fno-omit-frame-pointer -fno-sanitize-recover=all -g -O1"
CC=${CC:-clang-14} CXX=${CXX:-clang++-14} cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DZEPH_FUZZ=ON -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz -j "${JOBS:-3}" --target fuzz_all

# The limits the replay in the test pass keeps too.
read -ra limits < <(grep -v '^#' fuzz/limits)

run_one() {
  local name=$1
  mkdir -p "build/fuzz/corpus/$name" "build/fuzz/artifacts/$name" build/fuzz/logs
  # Leaks are the targets' own checks (the kernel's pool count); the stand-in keeps its globals.
  ASAN_OPTIONS=detect_leaks=0:${ASAN_OPTIONS:-} nice -n 10 "build/fuzz/bin/fuzz_$name" \
    -max_total_time="$seconds" "${limits[@]}" -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$name/" \
    "build/fuzz/corpus/$name" "fuzz/corpus/$name" >"build/fuzz/logs/$name.log" 2>&1
}

pids=()
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  echo "fuzzing $t for $seconds s"
  run_one "$t" &
  pids+=($!)
done
status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done

echo
printf '%-16s %12s %8s %8s %s\n' target executions cov ft result
for t in "${targets[@]}"; do
  log=build/fuzz/logs/$t.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | grep -E 'cov: ' | tail -1 || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  if grep -qE '^==[0-9]+==ERROR|^SUMMARY|deadly signal|Test unit written' "$log"; then result=FINDING; else result=clean; fi
  printf '%-16s %12s %8s %8s %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
exit $status
