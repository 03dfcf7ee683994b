#!/usr/bin/env bash
# The installer's Windows build under Debian's 64-bit Wine, in a fresh prefix with the package laid out
# as a setup program leaves it (setup\vantrel.inf; setup\amd64\ with deploya.exe, vantrel.sys and
# VANTREL_CI.dll): runs that must be refused with -1 and change nothing (the package without
# vantrel.sys, then without VANTREL_CI.dll; a Windir that is not the Windows folder), an install run,
# then an uninstall run (/u). %TMP%\deploya.log is compared line by line with what the installer must
# write (dates masked). OEM INFs planted in the INF store: those naming one of our ids are removed, one
# naming a longer id that begins with ours is kept.
# usage: wine-setup.sh [WIN64_BIN_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/win64/bin}")
inf_source=$(realpath setup/package/vantrel.inf)

source scripts/wine-prefix.sh
wine_need wine64
trap wine_cleanup EXIT
failed=0
wrong() {
  echo "FAILED: $*" >&2
  failed=1
}

wine_prefix 64
w64() { wine_wait 60 "$wine_exe" "$@" | tr -d '\r'; }
drive_c=$WINEPREFIX/drive_c
store=$drive_c/windows/inf
mkdir -p "$drive_c/pkg/setup/amd64"
cp "$inf_source" "$drive_c/pkg/setup/"
cp "$bin/deploya.exe" "$bin/vantrel.sys" "$bin/VANTREL_CI.dll" "$drive_c/pkg/setup/amd64/"
tmp=$(w64 cmd /c 'echo %TMP%')
log=$(w64 winepath -u "$tmp\\deploya.log" 2>/dev/null)
[ -n "$log" ] || fail "no Unix path for %TMP%"

ours_a='USB\VID_1A2B&PID_0100'
ours_b='USB\VID_1A2B&PID_0101'
longer='USB\VID_1A2B&PID_0100&MI_01'
# An earlier copy of a package in the store (or in FOLDER), with its precompiled twin.
plant() {
  local folder=${3:-$store}
  printf '[Version]\r\nSignature="$WINDOWS NT$"\r\n\r\n[Models]\r\n%%Device%%=Install,%s\r\n' "$2" >"$folder/$1.inf"
  printf 'PNF\r\n' >"$folder/$1.pnf"
}
plant oem3 "$ours_a"
plant oem7 "$longer"

run_deploya() {
  local rc=0
  (cd "$drive_c/pkg/setup/amd64" && wine_wait 60 "$wine_exe" deploya.exe "$@") || rc=$?
  [ "$rc" -eq 0 ] || fail "deploya $* ended with $rc"
}
# The store's files, to show that a refused run left it as it was.
store_listing() { (cd "$store" && ls -l --time-style=+%s.%N -- oem* 2>/dev/null) || true; }
# A refused run: -1 (255 as the process's status) and the store unchanged. Runs through cmd, so the
# environment can be set for the installer alone (Wine takes no Windir from the Unix environment);
# cmd takes "&" as "^&".
refused() {
  local what=$1 environment=$2 before rc=0 held=1
  shift 2
  before=$(store_listing)
  (cd "$drive_c/pkg/setup/amd64" &&
    wine_wait 60 "$wine_exe" cmd /c "${environment}deploya.exe ${*//&/^&}") || rc=$?
  [ "$rc" -eq 255 ] || { wrong "$what: deploya ended with $rc, not -1"; held=0; }
  [ "$(store_listing)" = "$before" ] || { wrong "$what: the INF store changed"; held=0; }
  [ "$held" -eq 0 ] || echo "refused ($what): -1, the INF store as it was"
}
for f in vantrel.sys VANTREL_CI.dll; do
  mv "$drive_c/pkg/setup/amd64/$f" "$wine_work/$f"
  refused "the package without $f" "" vantrel.inf USB "$ours_a" "$ours_b"
  mv "$wine_work/$f" "$drive_c/pkg/setup/amd64/$f"
done
mkdir -p "$drive_c/fake/Inf"
plant oem1 "$ours_a" "$drive_c/fake/Inf"
refused 'Windir=C:\fake' 'set Windir=C:\fake&& ' /u vantrel.inf USB "$ours_a" "$ours_b"
[ -e "$drive_c/fake/Inf/oem1.inf" ] || wrong "C:\fake\Inf\oem1.inf, outside the INF store, was deleted"
run_deploya vantrel.inf USB "$ours_a" "$ours_b"
plant oem5 "$ours_b"
run_deploya /u vantrel.inf USB "$ours_a" "$ours_b"

# What the installer must write. The ids reach the update as given (setup/README.md). Wine answers the
# update of a device that is not present with TRUE, and has no enumerator "USB" (no device set to
# mark); it lists the INF store in name order.
line() { printf "$@"; }
header() {
  line 'Start  \n'
  line '%s\n' "--------------------------------------------------------------"
  line '*** Ondrel-Brivane deploya V1.2 [<date> GMT] *** \n'
  line 'CmdLine : [%s]\n' "$*"
  [ "$1" != /u ] || { line 'Uninstall  Mode only\n'; shift; }
  line 'szInf              : [%s]\n' "$1"
  line 'szEnum             : [%s]\n' "$2"
  line 'szHW_ID[%d]         : [%s]\n' 0 "$3" 1 "$4"
  line 'MediaRootDirectory : [%s]\n' 'C:\pkg\setup\'
}
opening() { line '\t\tOpening : [%s]\n' "C:\\windows\\INF\\$1.inf"; }
removed() {
  opening "$1"
  line '\t\t\tfound : [%s]\n' "$2"
  line '\t\t\t_tchmod : [%s]\n' "C:\\windows\\INF\\$1.inf" "C:\\windows\\INF\\$1.pnf"
  line '\t\t\tSetupUninstallOEMInf : [%s]\n' "$1.inf"
  line '\t\t\tSetupUninstallOEMInf  Ok\n'
  line '\t\t\tDeleteFile : [%s]\n' "C:\\windows\\INF\\$1.inf" "C:\\windows\\INF\\$1.pnf"
}
updated() {
  line '\t\t[%s] %s\n' "$1" 'C:\pkg\setup\vantrel.inf'
  line '\t\tUpdateDriverForPlugAndPlayDevices TRUE -> at least one device existed, and was upgraded.\n'
  line '\t\tMarkDevicesAsNeedReinstall  [%s] NO\n' "$1"
  line '\t\t\n'
}
refusal() {
  line 'Start  \n'
  line '%s\n' "--------------------------------------------------------------"
  line '*** Ondrel-Brivane deploya V1.2 [<date> GMT] *** \n'
  line 'CmdLine : [%s]\n' "$2"
  [ "${2%% *}" != /u ] || line 'Uninstall  Mode only\n'
  line ' ERROR ! %s -> Exit ... \n' "$1"
}
{
  for f in vantrel.sys VANTREL_CI.dll; do
    refusal "ERROR_FILE_NOT_FOUND C:\\pkg\\setup\\amd64\\$f" "vantrel.inf USB $ours_a $ours_b"
  done
  refusal 'Windir [C:\fake] is not the Windows directory [C:\windows]' "/u vantrel.inf USB $ours_a $ours_b"
  header vantrel.inf USB "$ours_a" "$ours_b"
  line '\tUnInstallDriver \n'
  removed oem3 "$ours_a"
  opening oem7
  line '\tUnInstallDriver Exit\n'
  line '\tUpdateDriver \n'
  updated "$ours_a"
  updated "$ours_b"
  line '\tUpdateDriver Exit\n'
  line 'Exit \n\n '
  header /u vantrel.inf USB "$ours_a" "$ours_b"
  line '\tUnInstallDriver \n'
  removed oem5 "$ours_b"
  opening oem7
  line '\tUnInstallDriver Exit\n'
  line 'Exit \n\n '
} >"$wine_work/expected.log"

# The C runtime writes the log in text mode (CR LF); only the version line's time is masked.
date_re='[A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-9][0-9] [0-9][0-9][0-9][0-9], [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] GMT'
[ -f "$log" ] || fail "no log at $tmp\\deploya.log"
tr -d '\r' <"$log" | sed "s/^\(\*\*\* Ondrel-Brivane deploya V1\.2 \[\)$date_re\]/\1<date> GMT]/" >"$wine_work/actual.log"
if ! diff -u --label expected --label "$tmp\\deploya.log" "$wine_work/expected.log" "$wine_work/actual.log"; then
  wrong "the log differs from what the installer must write"
else
  echo "log: $(wc -l <"$wine_work/actual.log") lines as expected over the refused runs, the install and the uninstall"
fi

for f in oem3.inf oem3.pnf oem5.inf oem5.pnf; do
  [ ! -e "$store/$f" ] || wrong "$f (naming one of our ids) is still in the INF store"
done
for f in oem7.inf oem7.pnf; do
  [ -e "$store/$f" ] || wrong "$f (naming $longer, not ours) was removed from the INF store"
done
[ "$failed" -ne 0 ] || echo "INF store: the copies naming our ids are removed, the one naming $longer is kept"
exit "$failed"
