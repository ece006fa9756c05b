#!/bin/sh
# Lanczos3 reduction of the benchmarks' 6000 x 4000 RGB picture to
# 1500 x 1000: libvips's "resize 0.25 --kernel lanczos3" against
# resample_bench's BM_Reduce (filter 5, Lanczos3), each at one thread and at
# its default thread count, with the ratios; then, where ImageMagick is
# installed, its "convert -resize" of the same picture (read time taken
# off) at one thread and its default. How each side is measured:
# tools/peers_lib.sh. The peers are timed only, never dependencies
# (tools/setup.sh --peers installs them). Builds resample_bench and
# filters_bench (which writes the picture) into build/bench when needed.
#
# Usage: tools/resample_peers.sh
set -eu
# shellcheck source=tools/peers_lib.sh
. "$(dirname "$0")/peers_lib.sh"

peers_build resample_bench filters_bench
dir=$peers_build_dir/bench
peers_workdir
peers_have_vips && peers_photo "$dir"

peers_header "Lanczos3 reduction, 6000 x 4000 RGB to 1500 x 1000$(peers_have_vips && echo ", $(vips --version)" || echo ", libvips not installed")"
# The baseline reads the picture and writes 1500 x 1000 by point sampling.
peers_row "lanczos3 to 1500 x 1000" "$dir/resample_bench" "^BM_Reduce/filter:5/threads:%T/" \
  subsample "$work/in.v" "$work/out.v" 4 4 -- resize "$work/in.v" "$work/out.v" 0.25 --kernel lanczos3

if command -v convert-im6.q16 >/dev/null 2>&1 || { command -v convert >/dev/null 2>&1 && convert -version 2>/dev/null | grep -q ImageMagick; }; then
  im=convert
  command -v convert-im6.q16 >/dev/null 2>&1 && im=convert-im6.q16
  [ -f "$work/photo.ppm" ] || "$dir/filters_bench" --photo-ppm="$work/photo.ppm"
  for threads in 1 default; do
    limit=
    [ $threads = 1 ] && limit="-limit thread 1"
    # shellcheck disable=SC2086  # the limit option is two words or none
    read=$(peers_wall_ms $im $limit "$work/photo.ppm" null:)
    # shellcheck disable=SC2086
    all=$(peers_wall_ms $im $limit "$work/photo.ppm" -filter Lanczos -resize '1500x1000!' null:)
    echo "ImageMagick ($($im -version | head -n 1 | cut -d' ' -f2-3)), $threads thread(s): lanczos to 1500 x 1000 $((all - read)) ms (read alone $read ms)"
  done
else
  echo "ImageMagick: not installed, skipped"
fi
peers_load "at the end"
