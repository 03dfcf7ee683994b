#!/usr/bin/env bash
# Checks that the files listed in .clang-format-files are laid out as .clang-format says.
# usage: scripts/check-format.sh [--fix]   (--fix rewrites the listed files instead)
set -euo pipefail
cd "$(dirname "$0")/.."
cf=$(command -v clang-format || command -v clang-format-14 || true)
[ -n "$cf" ] || { echo "format: clang-format is not installed"; exit 1; }
mode=(--dry-run -Werror)
[ "${1:-}" = "--fix" ] && mode=(-i)
files=()
while read -r f; do
  [[ -z "$f" || "$f" == \#* ]] && continue
  if [ -f "$f" ]; then files+=("$f"); else echo "format: $f is listed but does not exist (skipped)"; fi
done <.clang-format-files
[ ${#files[@]} -eq 0 ] || "$cf" "${mode[@]}" "${files[@]}"
echo "format: ${#files[@]} file(s) checked"
