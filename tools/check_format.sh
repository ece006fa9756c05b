#!/usr/bin/env bash
# Fails when a C++ source differs from what clang-format makes of it under
# .clang-format, listing the files. The set-up script installs the
# distribution's clang-format; another version may break lines otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find platform core io proc view dialogs app tests bench fuzz tools \
    -name '*.cpp' -o -name '*.h' | sort)
fi
# Each file on its own, in parallel: a failing file prints its name.
mapfile -t bad < <(printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P "$(nproc)" \
  sh -c 'clang-format --dry-run --Werror "$1" >/dev/null 2>&1 || echo "$1"' check)
if [ ${#bad[@]} -gt 0 ]; then
  echo "format check: ${#bad[@]} file(s) differ from clang-format (run clang-format -i on them):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "format check: ${#files[@]} files as clang-format leaves them"
