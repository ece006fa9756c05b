// The thumbnail view loading 100 photograph-like 12-megapixel JPEGs into
// 150-pixel thumbnails (store type pxtThumb, every cell visible) with the
// background loader's pool of 5: wall time from queueing until the last
// thumbnail is stored. The peer, in the same run, is vipsthumbnail making the
// same thumbnails of the same files (tools/mview_peers.sh). The process's
// peak resident memory is reported as a counter.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/bench_jpegs.h"
#include "bench/bench_qt.h"
#include "bench/bench_support.h"
#include "io/pixoranio.h"
#include "view/pxmview.h"

namespace {

using namespace pixoran;

constexpr int kFiles = 100;

QApplication& App() { return bench::QtApp(); }

// The files, written once per run: one 4000 x 3000 picture encoded at
// quality 85, copied under 100 names.
const std::string& Folder() {
  static const std::string dir = bench::CameraJpegFolder("pxmview_bench", "photo", kFiles, false);
  return dir;
}

double PeakMB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024.0;
}

void BM_MViewLoad100(benchmark::State& state) {
  App();
  const std::string dir = Folder();
  for (auto _ : state) {
    TPixoranMView v;
    v.SetBounds(0, 0, 1600, 1600);  // 10 x 10 cells of 150 + 4
    v.SetStoreType(pxtThumb);
    v.SetThumbWidth(150);
    v.SetThumbHeight(150);
    v.SetGridWidth(-1);
    for (int i = 0; i < kFiles; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/photo%03d.jpg", i);
      v.SetImageFileName(v.AppendImage(), dir + name);
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kFiles; ++i) v.QueueLoad(i);
    for (;;) {
      int loaded = 0;
      for (int i = 0; i < kFiles; ++i) loaded += v.IsImageLoaded(i) ? 1 : 0;
      if (loaded == kFiles) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    int wrong = 0;
    for (int i = 0; i < kFiles; ++i) wrong += v.IsWrongImage(i) ? 1 : 0;
    if (wrong) state.SkipWithError("a file failed to load");
  }
  state.counters["peak_MB"] = PeakMB();
}
BENCHMARK(BM_MViewLoad100)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void BM_VipsThumbnail100(benchmark::State& state) {
  const std::string dir = Folder();
  const std::string script = std::string(PIXORAN_SOURCE_DIR) + "/tools/mview_peers.sh " + dir + " 150";
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(script.c_str());
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (rc != 0) state.SkipWithError("vipsthumbnail not available");
  }
}
BENCHMARK(BM_VipsThumbnail100)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
