#!/usr/bin/env bash
# Checks the layering of optimizer/ (see optimizer/CMakeLists.txt): a file
# may include optimizer headers only from its own folder or a lower one,
# with interfaces/ < core/ < algorithms/. Prints every include that goes
# upward and exits non-zero when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
    optimizer/interfaces/*) echo 0 ;;
    optimizer/core/*) echo 1 ;;
    optimizer/algorithms/*) echo 2 ;;
    *) echo "unknown folder: $1" >&2; exit 2 ;;
  esac
}

status=0
while IFS=: read -r file line text; do
  target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/' <<<"$text")
  if (($(rank "$target") > $(rank "$file"))); then
    echo "$file:$line: includes the higher $target"
    status=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"optimizer/' optimizer \
           --include='*.hpp' --include='*.cpp')

files=$(find optimizer -name '*.hpp' -o -name '*.cpp' | wc -l)
includes=$(grep -rhE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"optimizer/' optimizer | wc -l)
echo "checked $includes optimizer includes in $files files"
exit "$status"
