// Gaussian blur of a 6000 x 4000 24-bit photograph-like image with radius 2
// and 10, and edge detection of a 4000 x 3000 one, whole and its gradient
// step alone. Single thread, rows in
// memory. tools/blur_peers.sh times libvips on the same image, which
// "filters_bench --photo-ppm=FILE" writes out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "proc/pxedges.h"
#include "proc/pxfilters.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

TPXBitmap& Photo() { return bench::SharedPhotoLike<kWidth, kHeight>(); }

// Blurs the image in place again and again: the time does not depend on
// the content.
void BM_Blur(benchmark::State& state) {
  TPXBitmap& img = Photo();
  const double radius = static_cast<double>(state.range(0));
  for (auto _ : state) {
    GaussianBlur(img, radius);
    benchmark::DoNotOptimize(img.Scanline(kHeight / 2));
  }
  state.counters["Mpx/s"] =
      benchmark::Counter(double(kWidth) * kHeight * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Blur)->ArgName("radius")->Arg(2)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EdgeDetect12MP(benchmark::State& state) {
  static std::unique_ptr<TPXBitmap> src = bench::MakePhotoLike(4000, 3000);
  TPXBitmap dest;
  for (auto _ : state) {
    DetectEdges(*src, dest, TPXEdgeParams{});
    benchmark::DoNotOptimize(dest.Scanline(1500));
  }
}
BENCHMARK(BM_EdgeDetect12MP)->Unit(benchmark::kMillisecond)->UseRealTime();

// The edge detector's gradient step alone, on the enlarged images of a
// 12-megapixel picture: its luminance, lightly smoothed, and the binary
// Laplacian of the two, as the detector makes them.
void BM_EdgeGradients12MP(benchmark::State& state) {
  constexpr int64_t kBorder = 27, w = 4000 + 2 * kBorder, h = 3000 + 2 * kBorder;
  static std::unique_ptr<TPXBitmap> src = bench::MakePhotoLike(4000, 3000);
  std::vector<float> raw(static_cast<size_t>(w * h)), smooth(raw.size()), gradient(raw.size());
  std::vector<uint8_t> laplacian(raw.size(), 0);
  for (int64_t y = 0; y < h; ++y) {
    const uint8_t* p = src->Scanline(static_cast<int32_t>((y + 3000 - kBorder) % 3000));
    for (int64_t x = 0; x < w; ++x) {
      const uint8_t* q = p + 3 * ((x + 4000 - kBorder) % 4000);
      raw[static_cast<size_t>(y * w + x)] = static_cast<float>((q[2] * 21 + q[1] * 71 + q[0] * 8) / 100);
    }
  }
  for (int64_t y = 1; y < h - 1; ++y)
    for (int64_t x = 1; x < w - 1; ++x) {
      const size_t i = static_cast<size_t>(y * w + x);
      smooth[i] =
          (raw[i - 1] + raw[i + 1] + raw[i - static_cast<size_t>(w)] + raw[i + static_cast<size_t>(w)] + 4 * raw[i]) /
          8;
    }
  for (int64_t y = kPXEdgeInset; y < h - kPXEdgeInset; ++y)
    for (int64_t x = kPXEdgeInset; x < w - kPXEdgeInset; ++x) {
      const size_t i = static_cast<size_t>(y * w + x);
      laplacian[i] = smooth[i] - raw[i] > 0;
    }
  const auto window = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    EdgeGradients(smooth.data(), laplacian.data(), gradient.data(), w, h, window);
    benchmark::DoNotOptimize(gradient.data());
  }
}
BENCHMARK(BM_EdgeGradients12MP)->ArgName("window")->Arg(7)->Arg(51)->Unit(benchmark::kMillisecond)->UseRealTime();

// The benchmark's image as a binary PPM, for the peers.
bool WritePhoto(const char* path) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  std::fprintf(f, "P6\n%d %d\n255\n", kWidth, kHeight);
  std::string row(static_cast<size_t>(kWidth) * 3, '\0');
  bool ok = true;
  for (int32_t y = 0; y < kHeight && ok; ++y) {
    const uint8_t* p = Photo().Scanline(y);
    for (int32_t x = 0; x < kWidth; ++x) {  // blue-green-red to red-green-blue
      row[3 * static_cast<size_t>(x)] = static_cast<char>(p[3 * x + 2]);
      row[3 * static_cast<size_t>(x) + 1] = static_cast<char>(p[3 * x + 1]);
      row[3 * static_cast<size_t>(x) + 2] = static_cast<char>(p[3 * x]);
    }
    ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
  }
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr const char* kPhotoFlag = "--photo-ppm=";
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], kPhotoFlag, std::strlen(kPhotoFlag)) == 0)
      return WritePhoto(argv[i] + std::strlen(kPhotoFlag)) ? 0 : 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
