#!/usr/bin/env bash
# Lists the tracked C and C++ files that differ from .clang-format and exits non-zero when there is one.
# Changes nothing: `clang-format -i FILE` applies the format to a file.
#   bash tools/check-format.sh            every tracked .cpp, .h and .c file
#   bash tools/check-format.sh FILE...    only these
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$#" -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.c')
fi
drift=0
for f in "${files[@]}"; do
  if ! clang-format --dry-run -Werror --style=file "$f" >/dev/null 2>&1; then
    echo "$f"
    drift=$((drift + 1))
  fi
done
if [ "$drift" -gt 0 ]; then
  echo "[format] $drift of ${#files[@]} files differ from .clang-format" >&2
  exit 1
fi
echo "[format] ${#files[@]} files follow .clang-format" >&2
