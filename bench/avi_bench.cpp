// Run-length AVI frames read in order: a 640 x 480 RLE8 video whose only key
// frame is the first, each later frame changing a 64 x 48 patch. Reading
// the first N frames should cost N times one frame, not N squared: compare
// the per-frame time (items per second) across N = 25, 50, 100, through the
// frame reader and through the I/O component's LoadFromAVI.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/formats/avi/pxavi.h"
#include "tests/avi_builder.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 640, kHeight = 480, kFrames = 100;

// Frame 0: every row in runs of 128 pixels of index row % 200. Frame i: a
// 64 x 48 patch of index i at a place that moves with i.
std::string MakeVideo() {
  std::string palette;
  for (int i = 0; i < 256; ++i)
    palette += {static_cast<char>(i), static_cast<char>(255 - i), static_cast<char>(i / 2), '\0'};
  std::vector<testing::TAviFrame> frames;
  std::string key;
  for (int32_t y = 0; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; x += 128) key += {static_cast<char>(128), static_cast<char>(y % 200)};
    key += std::string("\0\0", 2);  // end of line
  }
  key += std::string("\0\1", 2);  // end of bitmap
  frames.push_back({key, true});
  for (int32_t i = 1; i < kFrames; ++i) {
    const int32_t px = (i * 37) % (kWidth - 64), py = (i * 23) % (kHeight - 48);
    std::string d;
    // Delta skips of at most 255: down to the patch's first row, then along it.
    for (int32_t left = py; left > 0; left -= std::min(left, 255))
      d += {'\0', '\2', '\0', static_cast<char>(std::min(left, 255))};
    for (int32_t row = 0; row < 48; ++row) {
      for (int32_t left = px; left > 0; left -= std::min(left, 255))
        d += {'\0', '\2', static_cast<char>(std::min(left, 255)), '\0'};
      d += {static_cast<char>(64), static_cast<char>(i)};
      d += std::string("\0\0", 2);  // end of line
    }
    d += std::string("\0\1", 2);
    frames.push_back({d, false});
  }
  return testing::MakeAVI(kWidth, kHeight, 8, 1, palette, frames, 1, 25);
}

const std::string& VideoPath() {
  static const std::string path = [] {
    const std::string p = std::filesystem::temp_directory_path() / "pixoran_avi_bench.avi";
    std::ofstream(p, std::ios::binary) << MakeVideo();
    return p;
  }();
  return path;
}

void BM_AVIReaderFramesInOrder(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  for (auto _ : state) {
    TAVIReader reader;
    if (!reader.Open(std::make_unique<TFileStream>(VideoPath(), fmOpenRead))) {
      state.SkipWithError("cannot open");
      return;
    }
    TPXBitmap frame;
    for (int32_t i = 0; i < n; ++i) benchmark::DoNotOptimize(reader.ReadFrame(i, frame, progress));
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_AVIReaderFramesInOrder)->Arg(25)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_PixoranIOLoadFromAVIInOrder(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    TPixoranIO io;
    if (io.OpenAVIFile(VideoPath()) != kFrames) {
      state.SkipWithError("cannot open");
      return;
    }
    for (int32_t i = 0; i < n; ++i) io.LoadFromAVI(i);
    io.CloseAVIFile();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_PixoranIOLoadFromAVIInOrder)->Arg(25)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
