#!/usr/bin/env bash
# Checks the export table of every deliverable that a build made against cmake/exports.txt (a
# program's .exe included):
# on Linux (nm -D) the listed names and what the platform needs, on Windows (objdump -p) exactly
# the listed names. Deliverables not built yet are skipped.
# usage: scripts/check-exports.sh <bin folder>...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
table=$root/cmake/exports.txt

declare -A want=()
while read -r name rest; do
  [[ -z "${name:-}" || "$name" == \#* ]] && continue
  want[$name]="${want[$name]:-} $rest"
done <"$table"

# What a Linux shared object may export besides its names: DllMain (the loader calls it), the
# exception type thrown across libraries, and what the linker defines.
linux_extra=" DllMain _ZTIN6w32cpp22use_count_base_is_zeroE _ZTSN6w32cpp22use_count_base_is_zeroE"
linux_extra+=" _ZTVN6w32cpp22use_count_base_is_zeroE _init _fini _edata _end __bss_start "

pe_objdump=$(command -v x86_64-w64-mingw32-objdump || command -v i686-w64-mingw32-objdump || echo objdump)

exports_of() {
  case "$1" in
    *.so) nm -D --defined-only --format=posix "$1" | awk '{ sub(/@.*/, "", $1); print $1 }' ;;
    *) "$pe_objdump" -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                                  on && NF == 0 { on = 0 }
                                  on && /^\t\[/ { print $NF }' ;;
  esac
}

failed=0 checked=0
for dir in "$@"; do
  [ -d "$dir" ] || { echo "exports: no folder $dir (skipped)"; continue; }
  for name in "${!want[@]}"; do
    for f in "$dir/$name.so" "$dir/$name.dll" "$dir/$name.sys" "$dir/$name.exe"; do
      [ -f "$f" ] || continue
      checked=$((checked + 1))
      got=$(exports_of "$f" | sort -u)
      # linux:<name> is exported by the Linux shared object only.
      if [[ "$f" == *.so ]]; then
        expected=$(tr ' ' '\n' <<<"${want[$name]}" | sed '/^$/d; s/^linux://' | sort -u)
      else
        expected=$(tr ' ' '\n' <<<"${want[$name]}" | sed '/^$/d; /^linux:/d' | sort -u)
      fi
      missing=$(comm -13 <(echo "$got") <(echo "$expected"))
      extra=$(comm -23 <(echo "$got") <(echo "$expected"))
      if [[ "$f" == *.so ]]; then
        extra=$(for x in $extra; do [[ "$linux_extra" == *" $x "* ]] || echo "$x"; done)
      fi
      if [ -n "$missing$extra" ]; then
        failed=$((failed + 1))
        echo "exports: $f is wrong"
        [ -z "$missing" ] || echo "  missing: $(echo $missing)"
        [ -z "$extra" ] || echo "  not listed: $(echo $extra | head -c 2000)"
      fi
    done
  done
  # A Windows library that the table does not know is worth a look (it is not checked).
  for f in "$dir"/*.dll "$dir"/*.sys; do
    [ -f "$f" ] || continue
    base=$(basename "$f"); base=${base%.*}
    [ -n "${want[$base]+x}" ] || echo "exports: $f is not in cmake/exports.txt (not checked)"
  done
done
echo "exports: $checked deliverable(s) checked, $failed wrong"
[ "$failed" -eq 0 ]
