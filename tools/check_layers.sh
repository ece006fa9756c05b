#!/usr/bin/env bash
# Fails when a library source includes a header of a layer above its own
# (platform <- core <- io <- proc <- view <- dialogs <- app), or when a
# source outside the widget parts includes one of their headers: the
# platform's widget part and core's viewer base (the units CMakeLists.txt
# names) are for view, dialogs and app, so the base platform, core, io and
# proc link no widget library. Tests, benchmarks and fuzz targets may
# include any layer.
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

# The widget parts' units, as CMakeLists.txt builds them.
units() { sed -n "s/^set($1 \(.*\))$/\1/p" CMakeLists.txt | tr ' ' '|'; }
platform_widgets=$(units PIXORAN_PLATFORM_WIDGET_UNITS)
core_view=$(units PIXORAN_CORE_VIEW_UNITS)
if [ -z "$platform_widgets" ] || [ -z "$core_view" ]; then
  echo "layer check: the widget units are not found in CMakeLists.txt" >&2
  exit 1
fi
widget_headers="platform/($platform_widgets)|core/($core_view)"
# Sources of the libraries that link no widgets: platform and core outside
# their widget units, io and proc.
while IFS= read -r file; do
  name=$(basename "$file")
  folder=${file%%/*}
  if [ "$folder" = platform ] && grep -qE "^($platform_widgets)(_[a-z0-9_]+)?\.(h|cpp)$" <<<"$name"; then continue; fi
  if [ "$folder" = core ] && grep -qE "^($core_view)(_[a-z0-9_]+)?\.(h|cpp)$" <<<"$name"; then continue; fi
  while IFS= read -r line; do
    echo "layer check: $file:$line (a widget-part header in a library that links no widgets)" >&2
    bad=1
  done < <(grep -nE "^#include \"($widget_headers)\.h\"" "$file" || true)
done < <(find platform core io proc -name '*.cpp' -o -name '*.h' | sort)
exit $bad
