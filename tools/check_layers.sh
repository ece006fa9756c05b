#!/usr/bin/env bash
# Fails when a library source includes a header of a layer above its own
# (platform <- core <- io <- proc <- view <- dialogs <- app). Tests,
# benchmarks and fuzz targets may include any layer.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(platform core io proc view dialogs app)
rank() { local i; for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && echo "$i" && return; done; echo -1; }
bad=0
for from in "${layers[@]}"; do
  r=$(rank "$from")
  while IFS= read -r line; do
    file=${line%%:*}
    to=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$line")
    t=$(rank "$to")
    if [ "$t" -gt "$r" ]; then
      echo "layer check: $line (a $from file includes $to)" >&2
      bad=1
    fi
  done < <(grep -rnE '^#include "(platform|core|io|proc|view|dialogs|app)/' "$from" --include='*.cpp' --include='*.h' || true)
done
exit $bad
