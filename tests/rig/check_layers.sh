#!/usr/bin/env bash
# The DLL's layers, top to bottom; a source file may include headers of its own layer and
# of the layers below it, never above. A layer's processor folders (<layer>/x86/, ...)
# belong to it, and are reached from outside them only through the layer's seam header
# <layer>/processor.h. Prints "ok"/"not ok" per layer, naming each upward include and each
# way into a processor folder past its seam. Usage: check_layers.sh [SRC_DIR]
src=${1:-$(cd "$(dirname "$0")/../../src" && pwd)}
layers=(control hookengine recording tracelog hooklist base)
processors='x86|x64'
rank() {
  local i
  for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done
  echo -1
}
status=0
for layer in "${layers[@]}"; do
  own=$(rank "$layer")
  upward=()
  for file in "$src/$layer"/*.cpp "$src/$layer"/*.h "$src/$layer"/*.S \
    "$src/$layer"/*/*.cpp "$src/$layer"/*/*.h "$src/$layer"/*/*.S; do
    [ -f "$file" ] || continue
    while read -r target; do
      other=$(rank "$target")
      if [ "$other" -lt 0 ] || [ "$other" -lt "$own" ]; then
        upward+=("$(basename "$file") -> $target")
      fi
    done < <(sed -n 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\)/.*|\1|p' "$file" | sort -u)
  done
  if [ ${#upward[@]} -eq 0 ]; then
    echo "ok layer $layer includes only its own and lower layers"
  else
    echo "not ok layer $layer includes upward: ${upward[*]}"
    status=1
  fi
done
# Only a layer's seam header and the processor folders' own files name a processor folder.
past=()
while IFS=: read -r file target; do
  relative=${file#"$src"/}
  case "$relative" in
    */processor.h) [ "${target%%/*}" = "${relative%%/*}" ] && continue ;;
  esac
  [[ "$relative" =~ ^[a-z_]+/($processors)/ ]] && continue
  past+=("$relative -> $target")
done < <(grep -rEo "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"[a-z_]+/($processors)/[^\"]*" "$src" |
  sed 's|:[^"]*"|:|')
if [ ${#past[@]} -eq 0 ]; then
  echo "ok processor folders are reached only through their layer's processor.h"
else
  echo "not ok processor folders reached past their seam: ${past[*]}"
  status=1
fi
for folder in "$src"/*/; do
  name=$(basename "$folder")
  if [ "$(rank "$name")" -lt 0 ]; then
    echo "not ok folder $name is in no layer"
    status=1
  fi
done
exit $status
