#!/usr/bin/env bash
# Checks the layering of the source tree on its include lines: a folder of src/ includes headers
# of its own folder and of folders of a lower layer only, so the graph of folders is acyclic and
# points downwards. The build enforces the same order (src/CMakeLists.txt gives each layer an
# include root with its own folder and those of the layers below); this check also covers what the
# build does not compile, and names every offending line at once.
#   tools/check-layers.sh           exit status 1 on an upward or sideways include
#   tools/check-layers.sh --graph   prints the folder graph (one "from -> to" edge per line)
set -euo pipefail
cd "$(dirname "$0")/.."

# The layers of src/, lowest first. Folders on one line form one layer and may not include each
# other. "." is src/ itself: the entry point.
LAYERS=(
  "base"
  "platform/message"
  "messages"
  "platform/host"
  "platform/server"
  "platform/services"
  "discovery context"
  "worker"
  ". version"
)
# Outside src/: ebs-host builds on the layers below the worker (it loads the plug-in, it does not
# link the worker); tests, benchmarks and fuzz targets may reach any layer.
OUTSIDE_LIMIT=("tools/ebs-host:platform/services discovery context")

declare -A rank
for i in "${!LAYERS[@]}"; do
  for folder in ${LAYERS[$i]}; do rank[$folder]=$i; done
done

faults=0
fault() { echo "check-layers: $*" >&2; faults=$((faults + 1)); }

# Every folder of src/ that holds code has a layer.
while read -r dir; do
  folder=${dir#src/}; [ "$dir" = src ] && folder=.
  [ -n "${rank[$folder]+x}" ] || fault "src/$folder has no layer: add it to LAYERS in $0"
done < <(find src -type f \( -name '*.h' -o -name '*.cpp' \) -printf '%h\n' | sort -u)

# edge FROM TO FILE:LINE
edges=()
while IFS=: read -r file line text; do
  target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' <<<"$text")
  [[ $target == */* ]] || continue  # a header of the same folder
  to=${target%/*}
  [ -f "src/$target" ] || continue   # not a header of src/ (tests/support, generated, ...)
  dir=${file%/*}
  if [[ $file == src/* ]]; then
    from=${dir#src/}; [ "$dir" = src ] && from=.
  else
    from=$dir
  fi
  [ "$from" = "$to" ] && continue
  edges+=("$from -> $to")
  if [[ $file == src/* ]]; then
    [ -n "${rank[$from]+x}" ] && [ -n "${rank[$to]+x}" ] || continue
    if [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
      fault "$file:$line: $from includes $target, of a layer that is not below it"
    fi
  else
    for limit in "${OUTSIDE_LIMIT[@]}"; do
      [ "${limit%%:*}" = "$from" ] || continue
      top=0
      for f in ${limit#*:}; do [ "${rank[$f]}" -gt "$top" ] && top=${rank[$f]}; done
      if [ "${rank[$to]}" -gt "$top" ]; then
        fault "$file:$line: $from includes $target, above what it may use"
      fi
    done
  fi
done < <(grep -rn --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' src tools tests bench fuzz)

if [ "${1:-}" = --graph ]; then
  printf '%s\n' "${edges[@]}" | sort -u
fi
if [ "$faults" -gt 0 ]; then
  echo "check-layers: $faults include(s) against the layers" >&2
  exit 1
fi
[ "${1:-}" = --graph ] || echo "check-layers: the folder graph of src/ is acyclic, every include points down"
