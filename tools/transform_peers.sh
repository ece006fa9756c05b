#!/bin/sh
# Times the transform benchmark's cases on a 6000 x 4000 RGB image with
# libvips when it happens to be installed ("vips rot d90", "vips flip",
# "vips rotate 30" with its default bilinear interpolation, one thread),
# then runs the benchmark itself. Installs nothing; without vips the peer is
# skipped. vips reads and writes its own uncompressed format (in /dev/shm
# when there is one); the time to read and write an image of the output's
# size alone (a copy or an embed) is measured too and taken off, so what
# remains is the transform itself. Times are processor time (user + system,
# GNU time; wall clock without it), medians of five: on a loaded machine
# they vary far less than the wall clock. Compare them with the
# benchmark's CPU column.
#
# Usage: tools/transform_peers.sh [path/to/transforms_bench]
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
bench=${1:-$here/build/bench/bench/transforms_bench}
base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/pxtransform.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

gnutime=no
/usr/bin/time -f '%U' true >/dev/null 2>&1 && gnutime=yes

median() {  # seconds taken by a command, median of five
  for _ in 1 2 3 4 5; do
    if [ $gnutime = yes ]; then
      /usr/bin/time -f '%U %S' -o "$work/time" "$@" >/dev/null 2>&1 || { echo "failed"; return; }
      awk '{ print $1 + $2 }' "$work/time"
    else
      t0=$(date +%s.%N)
      "$@" >/dev/null 2>&1 || { echo "failed"; return; }
      t1=$(date +%s.%N)
      echo "$t1 - $t0" | bc
    fi
  done | sort -n | sed -n 3p
}

ms() { echo "($1) * 1000 / 1" | bc; }

if command -v vips >/dev/null 2>&1; then
  export VIPS_CONCURRENCY=1
  # Noise: these transforms take the same time whatever the pixels are.
  python3 -c 'import os, sys; sys.stdout.buffer.write(b"P6\n6000 4000\n255\n" + os.urandom(6000 * 4000 * 3))' \
    >"$work/in.ppm"
  vips copy "$work/in.ppm" "$work/in.v"
  vips rotate "$work/in.v" "$work/rot30.v" 30
  w30=$(vipsheader -f width "$work/rot30.v")
  h30=$(vipsheader -f height "$work/rot30.v")
  copy=$(median vips copy "$work/in.v" "$work/out.v")
  embed=$(median vips embed "$work/in.v" "$work/out.v" 0 0 "$w30" "$h30")
  rot=$(median vips rot "$work/in.v" "$work/out.v" d90)
  flipx=$(median vips flip "$work/in.v" "$work/out.v" horizontal)
  flipy=$(median vips flip "$work/in.v" "$work/out.v" vertical)
  rot30=$(median vips rotate "$work/in.v" "$work/out.v" 30)
  echo "libvips $(vips --version 2>/dev/null), one thread, ms of $( [ $gnutime = yes ] && echo "processor time" || echo "wall clock") (transform less read and write):"
  echo "  read + write 6000 x 4000:        $(ms "$copy")"
  echo "  read + write ${w30} x ${h30}:        $(ms "$embed")"
  echo "  rot d90:                         $(ms "$rot - $copy") (all $(ms "$rot"))"
  echo "  flip horizontal:                 $(ms "$flipx - $copy") (all $(ms "$flipx"))"
  echo "  flip vertical:                   $(ms "$flipy - $copy") (all $(ms "$flipy"))"
  echo "  rotate 30 (bilinear):            $(ms "$rot30 - $embed") (all $(ms "$rot30"))"
else
  echo "libvips: not installed, skipped"
fi

if [ -x "$bench" ]; then
  echo "Pixoran ($bench), medians of five, ms:"
  "$bench" --benchmark_filter='^BM_(QuarterTurn|Flip|Rotate30Bilinear|Rotate30Shears)' --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '_median ' || true
else
  echo "Pixoran: build the benchmark first (cmake -DPIXORAN_BENCH=ON, target transforms_bench)"
fi
