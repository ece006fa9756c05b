#!/bin/sh
# Times the blur benchmark's cases (a 6000 x 4000 RGB image, Gaussian blur
# with radius, i.e. sigma, 2 and 10) with libvips "gaussblur" on one thread,
# on the very image the benchmark blurs (written by the benchmark itself),
# then runs the benchmark's own cases. libvips is a timed peer only: it is
# never a dependency and this script installs nothing; without it the peer
# is reported missing and skipped. The time to read and write the image
# alone is measured too, so the blur itself is the difference.
#
# Usage: tools/blur_peers.sh [path/to/filters_bench]
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
bench=${1:-$here/build/bench/bench/filters_bench}
work=$(mktemp -d "${TMPDIR:-/tmp}/pxblur.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

if [ ! -x "$bench" ]; then
  echo "build the benchmark first (cmake -DPIXORAN_BENCH=ON, target filters_bench)"
  exit 1
fi

seconds() {  # seconds taken by a command, median of five
  for _ in 1 2 3 4 5; do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed"; return; }
    t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc
  done | sort -n | sed -n 3p
}

if command -v vips >/dev/null 2>&1; then
  "$bench" --photo-ppm="$work/photo.ppm"
  export VIPS_CONCURRENCY=1
  vips copy "$work/photo.ppm" "$work/in.v"
  echo "libvips $(vips --version 2>/dev/null), one thread, median of five:"
  echo "  read + write only:  $(seconds vips copy "$work/in.v" "$work/out.v") s"
  for sigma in 2 10; do
    echo "  gaussblur sigma $sigma: $(seconds vips gaussblur "$work/in.v" "$work/out.v" $sigma) s"
  done
else
  echo "libvips: not installed, skipped"
fi

echo "Pixoran ($bench), blur only, median of five:"
"$bench" --benchmark_filter='BM_Blur' --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E '_median ' || true
