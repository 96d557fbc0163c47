#!/usr/bin/env bash
# Checks the layering of the sources: a layer includes only its own headers
# and those of the layers below it,
#
#   base  ←  numerics  ←  fit  ←  python
#   base  ←  optimizer ←  fit
#
# (numerics and optimizer know nothing of each other), and within
# optimizer/ (see optimizer/CMakeLists.txt) a file includes optimizer headers
# only from its own folder or a lower one, with interfaces/ < core/ <
# algorithms/. Prints every include that goes upward or sideways and exits
# non-zero when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# The layer a file belongs to, from its path.
layer_of_file() {
  case "$1" in
    src/base/*) echo base ;;
    src/numerics/*) echo numerics ;;
    optimizer/*) echo optimizer ;;
    src/fit/*) echo fit ;;
    src/python/*) echo python ;;
    *) echo "unknown folder: $1" >&2; exit 2 ;;
  esac
}

# The layers a layer may include from, itself included.
allowed() {
  case "$1" in
    base) echo "base" ;;
    numerics) echo "numerics base" ;;
    optimizer) echo "optimizer base" ;;
    fit) echo "fit numerics optimizer base" ;;
    python) echo "python fit numerics optimizer base" ;;
  esac
}

folder_rank() {
  case "$1" in
    optimizer/interfaces/*) echo 0 ;;
    optimizer/core/*) echo 1 ;;
    optimizer/algorithms/*) echo 2 ;;
    *) echo "unknown folder: $1" >&2; exit 2 ;;
  esac
}

status=0
checked=0
while IFS=: read -r file line text; do
  target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/' <<<"$text")
  [[ "$target" == */* ]] || continue  # a bare name: the file's own folder
  checked=$((checked + 1))
  layer=$(layer_of_file "$file")
  target_layer=${target%%/*}
  if [[ " $(allowed "$layer") " != *" $target_layer "* ]]; then
    echo "$file:$line: the $layer layer includes $target"
    status=1
  elif [[ "$layer" == optimizer && "$target_layer" == optimizer ]] &&
       (($(folder_rank "$target") > $(folder_rank "$file"))); then
    echo "$file:$line: includes the higher $target"
    status=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' src optimizer \
           --include='*.hpp' --include='*.cpp')

files=$(find src optimizer -name '*.hpp' -o -name '*.cpp' | wc -l)
echo "checked $checked layer-qualified includes in $files files"
exit "$status"
