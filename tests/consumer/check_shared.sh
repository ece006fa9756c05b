#!/usr/bin/env bash
# check_shared.sh <libdir> <program>...: every layer is installed as a
# shared library named by its SONAME, and each program runs on the installed
# I/O library rather than a copy of its own.
set -euo pipefail
libdir=$1
shift
for layer in platform platform_widgets core core_view io proc view dialogs; do
  lib="$libdir/libpixoran_$layer.so"
  soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  if [ "$soname" != "libpixoran_$layer.so.1" ] || [ ! -e "$libdir/$soname" ]; then
    echo "$lib: SONAME '$soname', expected libpixoran_$layer.so.1 beside it" >&2
    exit 1
  fi
done
# A public class is exported; the libraries are not a static copy.
exported=$(nm -D -C --defined-only "$libdir/libpixoran_io.so")
grep -q 'pixoran::TPixoranIO::LoadFromFile' <<<"$exported" ||
  { echo "libpixoran_io.so does not export TPixoranIO" >&2; exit 1; }
for program in "$@"; do
  loaded=$(awk '$1 == "libpixoran_io.so.1" { print $3 }' <<<"$(ldd "$program")")
  if [ -z "$loaded" ] || [ "$(realpath "$loaded")" != "$(realpath "$libdir/libpixoran_io.so.1")" ]; then
    ldd "$program" >&2
    echo "$program does not load the installed libpixoran_io.so.1" >&2
    exit 1
  fi
done
echo "shared libraries: ok"
