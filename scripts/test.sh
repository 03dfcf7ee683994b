#!/usr/bin/env bash
# The whole test pass: installs what the build needs, builds every preset whole, checks the export tables
# and the format, runs the tests. The sanitizer (ASan+UBSan) pass runs last so the output ends with
# CTest's summary.
set -Eeuo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 4)

# Each step names itself; a step that fails says which one it was, whatever command failed in it.
current_step="installing what the build needs"
step() { current_step=$*; echo; echo "== $*"; }
trap 'echo "FAILED: the step \"$current_step\" (exit status $?)" >&2' ERR
# Every deliverable is built by the presets: one that is missing fails the pass, never skips a check.
built() {
  local f
  for f in "$@"; do [ -f "$f" ] || { echo "FAILED: $f was not built" >&2; return 1; }; done
}

# Runs CTest and prints how many tests it ran; an exit status alone is no evidence: a build that lost
# its suites would pass with 0 tests.
least_tests=1000
ctest_counted() {
  local dir=$1 log summary ran
  shift
  log=$(mktemp)
  "$@" ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" 2>&1 | tee "$log"
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  ran=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  [ -n "$ran" ] || { echo "FAILED: CTest in $dir printed no summary" >&2; return 1; }
  [ "$ran" -ge "$least_tests" ] || { echo "FAILED: CTest in $dir ran $ran tests, fewer than $least_tests" >&2; return 1; }
  echo "evidence: CTest in $dir ran $ran tests"
  ctest_ran=$ran
}

bash scripts/install-deps.sh

step "Format of the files listed in .clang-format-files"
bash scripts/check-format.sh

step "Windows cross-build, 32-bit user mode"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"

step "The heap library's Windows build under 32-bit Wine: threads that use the pool and end; exits while they run"
bash scripts/wine-pool.sh build/win32/bin 20 300

step "Windows cross-build, 64-bit driver and installer"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"

step "The heap library built as x86-64, under 64-bit Wine: threads that use the pool and end; exits while they run"
cmake --preset win64-user >/dev/null
cmake --build --preset win64-user -j "$jobs" --target ostrel8 poolchurn poolexit
bash scripts/wine-pool.sh build/win64-user/bin 20 300

step "Export tables of the Windows deliverables"
bash scripts/check-exports.sh build/win32/bin build/win64/bin

step "Driver image: native x86-64, entry DriverEntry, kernel and USB library imports only"
bash scripts/check-driver-image.sh build/win64/bin/vantrel.sys

step "Class installer image: x86-64 DLL, no entry point, no imports"
bash scripts/check-classinst-image.sh build/win64/bin/VANTREL_CI.dll

# Each Windows deliverable run on a Win32 that is not ours (Debian's Wine).
step "The tray program under 32-bit Wine on a virtual display: single instance, Close application"
built build/win32/bin/keelmon.exe build/win32/bin/trayprobe.exe
bash scripts/wine-tray.sh build/win32/bin build/wine

step "The installer under 64-bit Wine: refused incomplete packages, install and uninstall runs, its log, the INF store"
built build/win64/bin/deploya.exe build/win64/bin/vantrel.sys build/win64/bin/VANTREL_CI.dll
bash scripts/wine-setup.sh build/win64/bin

step "The driver in 64-bit Wine's kernel: start, RUNNING, its Parameters values, stop with no pool left, delete"
built build/win64/bin/vantrel.sys
bash scripts/wine-driver.sh build/win64/bin

# Every suite runs under ThreadSanitizer, not only those labelled threading: a suite that starts a
# thread without saying so is covered too, and the whole pass takes well under a minute.
step "ThreadSanitizer build and all tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
# TSan needs a fixed address-space layout on newer kernels.
tsan_run() { if command -v setarch >/dev/null; then setarch "$(uname -m)" -R "$@"; else "$@"; fi; }
ctest_counted build/tsan tsan_run
tsan_tests=$ctest_ran

step "The Windows build under 32-bit Wine, over a serial line to the instrument program"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs" --target zephinstr
built build/win32/bin/tavodemo.exe build/win32/bin/tavobridge.dll
bash scripts/wine-serial.sh build/win32/bin build/asan/bin/zephinstr 100

step "The serial transport's unload under 32-bit Wine: FreeLibrary with a line registered and after a close"
built build/win32/bin/lintra8.dll build/win32/bin/lintra_unload.exe
bash scripts/wine-lintra-unload.sh build/win32/bin build/asan/bin/zephinstr

step "Release build, whole (benchmarks included; they are not run here)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer build, export tables and all tests"
cmake --build --preset asan -j "$jobs"
bash scripts/check-exports.sh build/asan/bin
ctest_counted build/asan env
[ "$ctest_ran" -eq "$tsan_tests" ] ||
  { echo "FAILED: the sanitizer pass ran $ctest_ran tests, the ThreadSanitizer pass $tsan_tests" >&2; exit 1; }
