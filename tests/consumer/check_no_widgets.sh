#!/usr/bin/env bash
# check_no_widgets.sh <program> [<link command>]: a program built on the
# I/O and processing libraries alone neither names Qt Widgets or Qt
# PrintSupport on its link line nor loads them.
set -euo pipefail
program=$1
link=${2:-}
if grep -qE 'Qt6?(Widgets|PrintSupport)|pixoran_(platform_widgets|core_view)' <<<"$link"; then
  echo "$link" >&2
  echo "$program: its link line names a widget library" >&2
  exit 1
fi
if ldd "$program" | grep -E 'libQt6(Widgets|PrintSupport)|libpixoran_(platform_widgets|core_view)' >&2; then
  echo "$program loads a widget library" >&2
  exit 1
fi
echo "$(basename "$program"): no widget library"
