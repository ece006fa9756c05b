#!/bin/sh
# Times the resampling benchmark's cases (6000 x 4000 RGB reduced to 1500 x 1000
# and enlarged to 9000 x 6000, Lanczos3) with the peers that happen to be
# installed: libvips ("vips resize", one thread) and ImageMagick ("convert
# -resize", one thread). Installs nothing; a missing peer is reported and
# skipped. Each peer's time to read and write the image alone is measured
# too, so the resize itself is the difference.
#
# Usage: tools/resample_peers.sh [image.ppm] [path/to/resample_bench]
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/pxpeers.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
img=${1:-}
bench=${2:-$here/build/h11bench/bench/resample_bench}

have_vips=no
have_magick=no
command -v vips >/dev/null 2>&1 && have_vips=yes
if command -v convert >/dev/null 2>&1 && convert -version 2>/dev/null | grep -q 'ImageMagick'; then have_magick=yes; fi

if [ -z "$img" ] && { [ $have_vips = yes ] || [ $have_magick = yes ]; }; then
  img=$work/photo.ppm
  # Gradients, blocks and noise, as the benchmark's own image.
  python3 - "$img" <<'EOF'
import random, sys
w, h = 6000, 4000
rnd = random.Random(12345)
noise = bytes(rnd.randrange(0, 21) for _ in range(w * 3 + 997))
with open(sys.argv[1], "wb") as f:
    f.write(b"P6\n%d %d\n255\n" % (w, h))
    for y in range(h):
        row = bytearray(w * 3)
        for x in range(w):
            edge = ((x // 700 + y // 500) % 2) * 40
            n = noise[(x * 3 + y * 7) % len(noise)] - 10
            row[3 * x] = max(0, min(255, 90 + ((x - 3000) * (y - 2000)) // 90000 + edge + n))
            row[3 * x + 1] = max(0, min(255, 200 - y * 150 // h + n))
            row[3 * x + 2] = max(0, min(255, 60 + x * 120 // w + edge + n))
        f.write(row)
EOF
fi

seconds() {  # seconds taken by a command, best of three
  best=
  for _ in 1 2 3; do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed"; return; }
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

[ -n "$img" ] && echo "image: $img"
if [ $have_vips = yes ]; then
  export VIPS_CONCURRENCY=1
  vips copy "$img" "$work/in.v"
  echo "libvips $(vips --version 2>/dev/null), one thread:"
  echo "  read + write only:       $(seconds vips copy "$work/in.v" "$work/out.v") s"
  echo "  reduce to 1500 x 1000:   $(seconds vips resize "$work/in.v" "$work/out.v" 0.25 --kernel lanczos3) s"
  echo "  enlarge to 9000 x 6000:  $(seconds vips resize "$work/in.v" "$work/out.v" 1.5 --kernel lanczos3) s"
else
  echo "libvips: not installed, skipped"
fi

if [ $have_magick = yes ]; then
  echo "ImageMagick ($(convert -version | head -n 1)), one thread:"
  echo "  read only:               $(seconds convert -limit thread 1 "$img" null:) s"
  echo "  reduce to 1500 x 1000:   $(seconds convert -limit thread 1 "$img" -filter Lanczos -resize '1500x1000!' null:) s"
  echo "  enlarge to 9000 x 6000:  $(seconds convert -limit thread 1 "$img" -filter Lanczos -resize '9000x6000!' null:) s"
else
  echo "ImageMagick: not installed, skipped"
fi

if [ -x "$bench" ]; then
  echo "Pixoran ($bench), resize only:"
  "$bench" --benchmark_filter='filter:5/' --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
    grep -E '_median ' || true
else
  echo "Pixoran: build the benchmark first (cmake -DPIXORAN_BENCH=ON, target resample_bench)"
fi
