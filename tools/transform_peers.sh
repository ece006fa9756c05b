#!/bin/sh
# Geometric transforms, grey conversion and a full copy of the benchmarks'
# 6000 x 4000 RGB picture, libvips against ours, each at one thread and at
# its default thread count, with the ratios:
#   rotate 90              "vips rot d90"             transforms_bench BM_QuarterTurn
#   rotate 30 bilinear     "vips rotate 30" (its default interpolator is
#                          bilinear)                  transforms_bench BM_Rotate30Bilinear
#   grey conversion        "vips colourspace b-w"     convert_bench BM_ConvertPhoto24MPToGray8
#   full copy              "vips copy" to a new file  proc_bench BM_CopyToNewBitmap
# How each side is measured: tools/peers_lib.sh. For the copy, vips's
# baseline is its start-up alone (a copy of one pixel): the copy is the
# whole rest. libvips is a timed peer only, never a dependency
# (tools/setup.sh --peers installs it). Builds the benchmarks into
# build/bench when needed.
#
# Usage: tools/transform_peers.sh
set -eu
# shellcheck source=tools/peers_lib.sh
. "$(dirname "$0")/peers_lib.sh"

peers_build transforms_bench convert_bench proc_bench filters_bench
dir=$peers_build_dir/bench
peers_workdir
w30=0 h30=0
if peers_have_vips; then
  peers_photo "$dir"
  vips rotate "$work/in.v" "$work/rot30.v" 30
  w30=$(vipsheader -f width "$work/rot30.v")
  h30=$(vipsheader -f height "$work/rot30.v")
fi

in=$work/in.v out=$work/out.v
peers_header "6000 x 4000 RGB$(peers_have_vips && echo ", $(vips --version)" || echo ", libvips not installed")"
peers_row "rotate 90" "$dir/transforms_bench" "^BM_QuarterTurn/%T/" copy "$in" "$out" -- rot "$in" "$out" d90
peers_row "rotate 30 bilinear" "$dir/transforms_bench" "^BM_Rotate30Bilinear/%T/" \
  embed "$in" "$out" 0 0 "$w30" "$h30" -- rotate "$in" "$out" 30
peers_row "grey conversion" "$dir/convert_bench" "^BM_ConvertPhoto24MPToGray8/" \
  extract_band "$in" "$out" 0 -- colourspace "$in" "$out" b-w
peers_row "full copy" "$dir/proc_bench" "^BM_CopyToNewBitmap/" copy "$work/tiny.v" "$out" -- copy "$in" "$out"
peers_load "at the end"
