#!/bin/sh
# Gaussian blur of the benchmarks' 6000 x 4000 RGB picture with radius
# (sigma) 2 and 10: libvips's "gaussblur" on the very picture filters_bench
# blurs, against filters_bench's BM_Blur cases, each at one thread and at
# its default thread count, with the ratios. How each side is measured:
# tools/peers_lib.sh. libvips is a timed peer only, never a dependency
# (tools/setup.sh --peers installs it); without it only our figures print.
# Builds filters_bench into build/bench when needed.
#
# Usage: tools/blur_peers.sh
set -eu
# shellcheck source=tools/peers_lib.sh
. "$(dirname "$0")/peers_lib.sh"

peers_build filters_bench
bench=$peers_build_dir/bench/filters_bench
peers_workdir
peers_have_vips && peers_photo "$(dirname "$bench")"

peers_header "Gaussian blur, 6000 x 4000 RGB$(peers_have_vips && echo ", $(vips --version)" || echo ", libvips not installed")"
for r in 2 10; do
  peers_row "gaussian blur r $r" "$bench" "^BM_Blur/radius:$r/" copy "$work/in.v" "$work/out.v" -- \
    gaussblur "$work/in.v" "$work/out.v" "$r"
done
peers_load "at the end"
