#!/usr/bin/env bash
# The DLL's layers, top to bottom; a source file may include headers of its own layer and
# of the layers below it, never above. Prints "ok"/"not ok" per layer, naming each upward
# include. Usage: check_layers.sh [SRC_DIR]
src=${1:-$(cd "$(dirname "$0")/../../src" && pwd)}
layers=(control hookengine recording tracelog hooklist base)
rank() {
  local i
  for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done
  echo -1
}
status=0
for layer in "${layers[@]}"; do
  own=$(rank "$layer")
  upward=()
  for file in "$src/$layer"/*.cpp "$src/$layer"/*.h "$src/$layer"/*.S; do
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
for folder in "$src"/*/; do
  name=$(basename "$folder")
  if [ "$(rank "$name")" -lt 0 ]; then
    echo "not ok folder $name is in no layer"
    status=1
  fi
done
exit $status
