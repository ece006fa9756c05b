#!/bin/sh
# A program's whole run on one photograph: a 6000 x 4000 JPEG (the
# benchmarks' picture at quality 90) loaded, 100 pixels cropped off every
# side, reduced to 0.9 of its size with Lanczos3 (5220 x 3420) and saved as a
# JPEG at quality 75. Ours: "workload_bench --run IN OUT" (the I/O
# component's load and save, the bitmap's rectangle copy, the processing
# component's reduction), at one thread and at the library default. libvips:
# its command line, which has no single command for a crop and a resize, as
# a two-process pipeline that streams the cropped pixels as PPM through a
# pipe (no temporary file):
#   vips crop IN .ppm 100 100 5800 3800 | vips resize stdin OUT[Q=75] 0.9
# (vips resize's default kernel is Lanczos3), at VIPS_CONCURRENCY=1 and at
# its default. Each side: wall clock of the whole run from start to exit,
# median of five, and peak memory, the median of the runs' maximum resident
# sets (GNU time's %M; for the pipeline the sum of its two processes', which
# run at once). Ratios are ours / libvips at each one's default and at one
# thread. libvips is a timed peer only, never a dependency (tools/setup.sh
# --peers installs it). Builds workload_bench into build/bench when needed.
#
# Usage: tools/workload_peers.sh
set -eu
# shellcheck source=tools/peers_lib.sh
. "$(dirname "$0")/peers_lib.sh"

if ! /usr/bin/time -f %M true >/dev/null 2>&1; then
  echo "GNU time (/usr/bin/time) is needed for peak memory: tools/setup.sh --peers installs it"
  exit 1
fi
peers_build workload_bench
bench=$peers_build_dir/bench/workload_bench
peers_workdir
"$bench" --make-jpeg="$work/in.jpg"

# run_ours THREADS: one "ms kB" line per run.
run_ours() {
  for _ in 1 2 3 4 5; do
    t0=$(date +%s%N)
    PIXORAN_THREADS=$1 /usr/bin/time -f %M -o "$work/m1" "$bench" --run "$work/in.jpg" "$work/out.jpg" ||
      { echo failed; return; }
    t1=$(date +%s%N)
    echo "$(((t1 - t0) / 1000000)) $(cat "$work/m1")"
  done
}

# run_vips CONCURRENCY (empty: vips's default): one "ms kB" line per run.
run_vips() {
  peers_concurrency "$1"
  for _ in 1 2 3 4 5; do
    t0=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/m1" vips crop "$work/in.jpg" .ppm 100 100 5800 3800 |
      /usr/bin/time -f %M -o "$work/m2" vips resize stdin "$work/out.jpg[Q=75]" 0.9 || { echo failed; return; }
    t1=$(date +%s%N)
    [ "$(vipsheader -f width "$work/out.jpg")" = 5220 ] || { echo failed; return; }
    echo "$(((t1 - t0) / 1000000)) $(($(cat "$work/m1") + $(cat "$work/m2")))"
  done
}

# median COLUMN: the median of that column of five lines ("failed" passes).
median() { awk -v c="$1" '/failed/ { print "failed"; exit } { print $c }' | sort -n | sed -n 3p; }

peers_load "at the start"
o1=$(run_ours 1) od=$(run_ours 0)
v1=- vd=-
if peers_have_vips; then
  v1=$(run_vips 1)
  vd=$(run_vips "")
fi
col() { if [ "$1" = - ]; then echo -; else echo "$1" | median "$2"; fi; }
mb() { awk -v k="$1" 'BEGIN { if (k + 0 == k) printf "%.0f", k / 1024; else printf "%s", k }'; }

echo "load 6000 x 4000 JPEG -> crop 5800 x 3800 -> Lanczos3 0.9 -> save q75$(peers_have_vips && echo ", $(vips --version)" || echo ", libvips not installed")"
printf '%-16s %9s %9s %9s %9s %11s %11s\n' "" "vips 1t" "vips def" "ours 1t" "ours def" "ratio def" "ratio 1t"
t_v1=$(col "$v1" 1) t_vd=$(col "$vd" 1) t_o1=$(col "$o1" 1) t_od=$(col "$od" 1)
m_v1=$(col "$v1" 2) m_vd=$(col "$vd" 2) m_o1=$(col "$o1" 2) m_od=$(col "$od" 2)
printf '%-16s %9s %9s %9s %9s %11s %11s\n' "wall time (ms)" "$t_v1" "$t_vd" "$t_o1" "$t_od" \
  "$(peers_ratio "$t_od" "$t_vd")" "$(peers_ratio "$t_o1" "$t_v1")"
printf '%-16s %9s %9s %9s %9s %11s %11s\n' "peak memory (MB)" "$(mb "$m_v1")" "$(mb "$m_vd")" "$(mb "$m_o1")" \
  "$(mb "$m_od")" "$(peers_ratio "$m_od" "$m_vd")" "$(peers_ratio "$m_o1" "$m_v1")"
peers_load "at the end"
