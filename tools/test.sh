#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build,
# the I/O tests of a build without the optional codecs, two small programs
# built against the installed libraries (static, then shared; the one on
# I/O and processing alone links no widget library),
# each fuzz target briefly on its seed corpus (then again at the default
# memory budget), the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the thread
# tests (names containing "Thread") under ThreadSanitizer. The format
# and layer checks come first, and every build treats a warning as an
# error, so a slip fails in the first minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

export QT_QPA_PLATFORM=offscreen
# Checkouts in other folders share cache entries.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
JOBS=$(nproc)
# One fixed fuzzing budget shared by every target, so adding targets does
# not lengthen the run; FUZZ_SECONDS and FUZZ_DEFAULT_SECONDS override the
# per-target shares of the two rounds.
FUZZ_BUDGET=${FUZZ_BUDGET:-300}
# The fuzz processes keep codec buffers within a 64 MB budget
# (fuzz/fuzz_support.h); one allocation past it and a margin fails the run,
# as does a process past 1 GB.
FUZZ_LIMITS="-malloc_limit_mb=${FUZZ_MALLOC_MB:-96} -rss_limit_mb=1024"
# A quarter of the budget runs every target again at the library's default
# memory budget (half the available memory), as a user's program has it:
# one allocation may reach that budget, but a process past 1 GB fails, so a
# claim bounded only by the budget shows up.
FUZZ_DEFAULT_BUDGET_SHARE=${FUZZ_DEFAULT_BUDGET_SHARE:-25}
default_malloc_mb=$(awk '/^MemAvailable:/ { print int($2 / 2048); exit }' /proc/meminfo 2>/dev/null || true)
[ "${default_malloc_mb:-0}" -ge 1024 ] || default_malloc_mb=1024
FUZZ_DEFAULT_LIMITS="-malloc_limit_mb=$default_malloc_mb -rss_limit_mb=1024"
# Qt's and fontconfig's process-lifetime caches are not leaks, for the fuzz
# targets (text in metafiles and memos loads fonts) as for the suite.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tools/lsan.supp}

echo "== format check"
bash tools/check_format.sh

echo "== layer check"
bash tools/check_layers.sh

echo "== normal build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXORAN_WERROR=ON >/dev/null
cmake --build build/release -j"$JOBS"
ctest --test-dir build/release --output-on-failure -j"$JOBS"

echo "== build without the optional codecs (OpenJPEG, libcurl)"
# Only the I/O library and its tests: the layers below are built the same
# way as above and come from the compiler cache.
cmake -S . -B build/nocodec -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXORAN_WERROR=ON \
  -DPIXORAN_WITH_OPENJPEG=OFF -DPIXORAN_WITH_CURL=OFF >/dev/null
cmake --build build/nocodec -j"$JOBS" --target test_io
build/nocodec/tests/test_io --gtest_brief=1

echo "== installed package"
rm -rf build/install build/consumer
cmake --install build/release --prefix build/install >/dev/null
cmake -S tests/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/install" >/dev/null
cmake --build build/consumer
build/consumer/consumer build/consumer/consumer.png
# A JPEG loaded, resampled and saved as PNG by a program on pixoran_io and
# pixoran_proc alone, which links and loads no widget library.
sample=build/release/frames/sample.jpg
build/consumer/consumer_resample "$sample" build/consumer/resample.png
bash tests/consumer/check_no_widgets.sh build/consumer/consumer_resample \
  "$(ninja -C build/consumer -t commands consumer_resample | tail -n 1)"
# The same program built with pkg-config alone; a static library hands on
# its codecs only with --static.
pcdir=$(dirname "$(find build/install -name pixoran-io.pc | head -n 1)")
# shellcheck disable=SC2046
c++ -std=c++20 tests/consumer/main.cpp -o build/consumer/consumer_pc \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --static --cflags --libs pixoran-io)
build/consumer/consumer_pc build/consumer/consumer_pc.png
pc_libs=$(PKG_CONFIG_PATH="$pcdir" pkg-config --static --libs pixoran-io pixoran-proc)
# shellcheck disable=SC2046,SC2086
c++ -std=c++20 tests/consumer/resample.cpp -o build/consumer/resample_pc \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags pixoran-io pixoran-proc) $pc_libs
build/consumer/resample_pc "$sample" build/consumer/resample_pc.png
bash tests/consumer/check_no_widgets.sh build/consumer/resample_pc "$pc_libs"

echo "== shared libraries (the libraries and the consumer)"
rm -rf build/install-shared build/consumer-shared
cmake -S . -B build/shared -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXORAN_WERROR=ON -DBUILD_SHARED_LIBS=ON \
  -DPIXORAN_TESTS=OFF >/dev/null
cmake --build build/shared -j"$JOBS" --target pixoran_dialogs
cmake --install build/shared --prefix build/install-shared >/dev/null
cmake -S tests/consumer -B build/consumer-shared -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/install-shared" >/dev/null
cmake --build build/consumer-shared
build/consumer-shared/consumer build/consumer-shared/consumer.png
build/consumer-shared/consumer_resample "$sample" build/consumer-shared/resample.png
bash tests/consumer/check_no_widgets.sh build/consumer-shared/consumer_resample \
  "$(ninja -C build/consumer-shared -t commands consumer_resample | tail -n 1)"
pcdir=$(realpath "$(dirname "$(find build/install-shared -name pixoran-io.pc | head -n 1)")")
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir pixoran-io)
# shellcheck disable=SC2046
c++ -std=c++20 tests/consumer/main.cpp -o build/consumer-shared/consumer_pc -Wl,-rpath,"$libdir" \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs pixoran-io)
build/consumer-shared/consumer_pc build/consumer-shared/consumer_pc.png
bash tests/consumer/check_shared.sh "$libdir" build/consumer-shared/consumer build/consumer-shared/consumer_pc

if command -v clang++ >/dev/null 2>&1 && [ -d fuzz ] && ls fuzz/*_fuzz.cpp >/dev/null 2>&1; then
  targets=$(ls fuzz/*_fuzz.cpp | wc -l)
  default_total=$(( FUZZ_BUDGET * FUZZ_DEFAULT_BUDGET_SHARE / 100 ))
  share=$(( (FUZZ_BUDGET - default_total) / targets ))
  [ "$share" -ge 10 ] || share=10
  default_share=$(( default_total / targets ))
  [ "$default_share" -ge 3 ] || default_share=3
  FUZZ_SECONDS=${FUZZ_SECONDS:-$share}
  FUZZ_DEFAULT_SECONDS=${FUZZ_DEFAULT_SECONDS:-$default_share}
  echo "== fuzz targets (${FUZZ_SECONDS}s each, then ${FUZZ_DEFAULT_SECONDS}s each at the default memory budget)"
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPIXORAN_FUZZ=ON -DPIXORAN_WERROR=ON >/dev/null
  cmake --build build/fuzz -j"$JOBS"
  rm -rf build/fuzz/corpus
  build/release/tests/fuzz_seeds build/fuzz/corpus
  # fuzz_run <name> <seconds> <limits> <artifact dir>: the regression
  # inputs kept from earlier crashes, then the corpus for the given time.
  fuzz_run() {
    local name=$1 seconds=$2 limits=$3 artifacts=$4
    local corpus="build/fuzz/corpus/${name%_fuzz}"
    mkdir -p "$corpus" "$artifacts"
    if [ -d "fuzz/regressions/${name%_fuzz}" ]; then
      # shellcheck disable=SC2086
      "build/fuzz/fuzz/$name" $limits -runs=0 "fuzz/regressions/${name%_fuzz}" 2>&1 | tail -n 2
    fi
    local log="$artifacts.log" rc=0
    # shellcheck disable=SC2086
    "build/fuzz/fuzz/$name" $limits -max_total_time="$seconds" -timeout=10 \
      -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" >"$log" 2>&1 || rc=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE|==[0-9]+==ERROR|SUMMARY)' "$log" || true
    if [ "$rc" -ne 0 ]; then
      tail -n 40 "$log" >&2
      echo "fuzz target $name failed; inputs in $artifacts" >&2
      exit 1
    fi
  }
  for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    echo "-- $name"
    fuzz_run "$name" "$FUZZ_SECONDS" "$FUZZ_LIMITS" "build/fuzz/artifacts/$name"
  done
  for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    echo "-- $name at the default memory budget"
    PIXORAN_FUZZ_DEFAULT_BUDGET=1 fuzz_run "$name" "$FUZZ_DEFAULT_SECONDS" "$FUZZ_DEFAULT_LIMITS" \
      "build/fuzz/artifacts/default-budget/$name"
  done
fi

echo "== sanitizer build"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1" -DPIXORAN_SANITIZE=ON \
  -DPIXORAN_WERROR=ON >/dev/null
cmake --build build/asan -j"$JOBS"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build/asan --output-on-failure -j"$JOBS"

echo "== thread sanitizer build (thread tests only)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXORAN_TSAN=ON -DPIXORAN_WERROR=ON >/dev/null
cmake --build build/tsan -j"$JOBS" --target test_platform test_core test_io test_proc test_view test_app
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/tsan.supp}
for t in test_platform test_core test_io test_proc test_view test_app; do
  "build/tsan/tests/$t" --gtest_filter='*Thread*' --gtest_brief=1
done
