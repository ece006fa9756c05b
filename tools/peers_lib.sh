# shellcheck shell=sh
# Shared by the tools/*_peers.sh scripts (sourced, not run): builds the
# benchmarks they need, times the libvips command line and our benchmark
# cases, and prints one table row per operation.
#
# How the two sides are measured, the same in every script:
# - libvips: the wall clock of a whole `vips` run, median of five, at
#   VIPS_CONCURRENCY=1 and at its default concurrency (the variable unset).
#   Its input is the benchmark's own 6000 x 4000 picture in vips's
#   uncompressed format in /dev/shm (where there is one); every operation's
#   figure has a baseline run taken off, the same `vips` start-up, read of
#   the input and write of an output of the operation's size with no pixel
#   arithmetic (a copy, a band extract, an embed, a subsample), timed the
#   same way at the same concurrency. What is left is the operation itself.
# - ours: the benchmark case's real time (the operation alone, on a picture
#   already in memory), median of five repetitions, at PIXORAN_THREADS=1
#   and at the library default (every hardware thread).
# - ratio: ours / libvips, at the default concurrency of each (the goal
#   compares these) and at one thread each.
# The machine's load is printed with the table: others may share it.

peers_root=$(cd "$(dirname "$0")/.." && pwd)
peers_build_dir=${PIXORAN_BENCH_BUILD:-$peers_root/build/bench}

# peers_build TARGET...: (re)builds benchmark targets into build/bench
# (Release, benchmarks on, tests off), configuring the tree when missing.
peers_build() {
  log=$(mktemp "${TMPDIR:-/tmp}/pxpeers-build.XXXXXX")
  if [ ! -f "$peers_build_dir/build.ninja" ]; then
    cmake -S "$peers_root" -B "$peers_build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIXORAN_BENCH=ON \
      -DPIXORAN_TESTS=OFF >"$log" 2>&1 || { tail -n 30 "$log"; rm -f "$log"; return 1; }
  fi
  targets=
  for t in "$@"; do targets="$targets --target $t"; done
  # shellcheck disable=SC2086  # one word per target
  cmake --build "$peers_build_dir" -j "${PEERS_JOBS:-3}" $targets >"$log" 2>&1 ||
    { tail -n 30 "$log"; rm -f "$log"; return 1; }
  rm -f "$log"
}

# peers_workdir: a fresh folder in /dev/shm (else the temporary folder),
# removed on exit; sets $work.
peers_workdir() {
  base=${TMPDIR:-/tmp}
  [ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
  work=$(mktemp -d "$base/pxpeers.XXXXXX")
  trap 'rm -rf "$work"' EXIT INT TERM
}

peers_have_vips() { command -v vips >/dev/null 2>&1; }

# peers_photo BENCHDIR: the benchmarks' 6000 x 4000 picture as
# $work/photo.ppm and $work/in.v (and a 1 x 1 crop as $work/tiny.v),
# written by filters_bench.
peers_photo() {
  "$1/filters_bench" --photo-ppm="$work/photo.ppm" || return 1
  vips copy "$work/photo.ppm" "$work/in.v"
  vips crop "$work/in.v" "$work/tiny.v" 0 0 1 1
}

# peers_wall_ms CMD...: milliseconds of wall clock a command takes, median
# of five runs ("failed" when it fails).
peers_wall_ms() {
  for _ in 1 2 3 4 5; do
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo failed; return; }
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000000))
  done | sort -n | sed -n 3p
}

# peers_concurrency N: vips's thread count for this (sub)shell; empty
# leaves vips its default.
peers_concurrency() {
  if [ -n "$1" ]; then
    VIPS_CONCURRENCY=$1
    export VIPS_CONCURRENCY
  else
    unset VIPS_CONCURRENCY
  fi
}

# peers_vips_ms CONCURRENCY BASELINE_ARGS -- OP_ARGS: the vips operation's
# milliseconds less its baseline's (CONCURRENCY empty: vips's default).
# Both argument lists are given to `vips` as they stand.
peers_vips_ms() {
  conc=$1
  shift
  base_args=
  while [ "$1" != "--" ]; do
    base_args="$base_args $1"
    shift
  done
  shift
  # shellcheck disable=SC2086  # the baseline's words are meant to split
  base=$(peers_concurrency "$conc" && peers_wall_ms vips $base_args)
  op=$(peers_concurrency "$conc" && peers_wall_ms vips "$@")
  if [ "$base" = failed ] || [ "$op" = failed ]; then
    echo failed
  else
    echo $((op - base))
  fi
}

# peers_ours_ms BENCH FILTER THREADS: the median real time in ms of the one
# benchmark case matching FILTER, at PIXORAN_THREADS=THREADS (%T in FILTER
# stands for THREADS).
peers_ours_ms() {
  PIXORAN_THREADS=$3 "$1" --benchmark_filter="$(printf '%s' "$2" | sed "s/%T/$3/g")" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null |
    awk -F, '$1 ~ /_median"?$/ {
      t = $3; u = $5; gsub(/"/, "", u)
      if (u == "ns") t /= 1e6; else if (u == "us") t /= 1e3; else if (u == "s") t *= 1e3
      printf "%.1f\n", t; found = 1; exit }
      END { if (!found) print "failed" }'
}

# peers_ratio A B: A / B to two decimals ("-" when either is missing or B
# is not above 0).
peers_ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 == a && b + 0 == b && b > 0) printf "%.2f", a / b; else printf "-" }'
}

peers_load() { echo "load $1: $(uptime | sed 's/.*load average: //') (1, 5, 15 min), $(nproc) processors"; }

peers_header() {
  peers_load "at the start"
  [ -n "${1:-}" ] && echo "$1"
  printf '%-28s %9s %9s %9s %9s %11s %11s\n' "operation (ms)" "vips 1t" "vips def" "ours 1t" "ours def" "ratio def" "ratio 1t"
}

# peers_row LABEL BENCH FILTER BASELINE_ARGS -- OP_ARGS: one table row;
# vips's columns read "-" when vips is not installed.
peers_row() {
  label=$1 bench=$2 filter=$3
  shift 3
  v1=- vd=-
  if peers_have_vips; then
    v1=$(peers_vips_ms 1 "$@")
    vd=$(peers_vips_ms "" "$@")
  fi
  o1=$(peers_ours_ms "$bench" "$filter" 1)
  od=$(peers_ours_ms "$bench" "$filter" 0)
  printf '%-28s %9s %9s %9s %9s %11s %11s\n' "$label" "$v1" "$vd" "$o1" "$od" "$(peers_ratio "$od" "$vd")" \
    "$(peers_ratio "$o1" "$v1")"
}
