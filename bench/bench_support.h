#pragma once
// Photograph-like test images for the benchmarks (smooth gradients, hard
// edges, fine texture and noise, the same on every run) and the timing loops
// the encoder benchmarks share.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "platform/streams.h"

namespace pixoran::bench {

// PIXORAN_THREADS=n in the environment runs every case of a benchmark binary
// at ThreadCount n (0: the hardware threads, the library's default), so the
// peer scripts time one thread and every thread with the same binary. Cases
// that set the count themselves (per case argument) still do.
inline const bool kThreadCountFromEnvironment = [] {
  if (const char* v = std::getenv("PIXORAN_THREADS"); v && *v) PXSettings().ThreadCount = std::atoi(v);
  return true;
}();

// A pxBGR24 image held in memory (never in a temporary file).
inline std::unique_ptr<TPXBitmap> MakePhotoLike(int32_t width, int32_t height) {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = std::numeric_limits<int64_t>::max();
  b->Allocate(width, height, pxBGR24);
  uint32_t s = 12345;
  const int32_t cx = width / 2, cy = height / 2;
  const int64_t cross = std::max<int64_t>(1, static_cast<int64_t>(width) * height / 270);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* p = b->Scanline(y);
    for (int32_t x = 0; x < width; ++x, p += 3) {
      s = s * 1664525u + 1013904223u;
      const int32_t noise = static_cast<int32_t>((s >> 24) % 21) - 10;
      const int32_t edge = ((x / std::max(1, width / 9) + y / std::max(1, height / 8)) % 2) * 40;
      const int32_t texture = static_cast<int32_t>(25 * std::sin(x * 0.05) * std::cos(y * 0.031));
      const int32_t saddle = static_cast<int32_t>(static_cast<int64_t>(x - cx) * (y - cy) / cross);
      p[0] =
          static_cast<uint8_t>(std::clamp(60 + static_cast<int32_t>(int64_t{x} * 120 / width) + edge + noise, 0, 255));
      p[1] = static_cast<uint8_t>(
          std::clamp(200 - static_cast<int32_t>(int64_t{y} * 150 / height) + texture + noise, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(90 + saddle + edge + noise, 0, 255));
    }
  }
  return b;
}

// One photograph-like image of each size per binary, built on first use.
template <int32_t Width, int32_t Height>
TPXBitmap& SharedPhotoLike() {
  static std::unique_ptr<TPXBitmap> bmp = MakePhotoLike(Width, Height);
  return *bmp;
}

// Times io's saves of its image into memory streams; gives the last file's
// size (the benchmark stops with an error when a save fails).
template <class TIO, class TFileType>
int64_t TimeSavesToMemory(benchmark::State& state, TIO& io, TFileType fileType) {
  int64_t bytes = 0;
  for (auto _ : state) {
    TMemoryStream ms;
    io.SaveToStream(ms, fileType);
    if (io.Aborting()) {
      state.SkipWithError("save failed");
      break;
    }
    bytes = ms.Size();
    benchmark::DoNotOptimize(ms.Memory());
  }
  return bytes;
}

// Times a bare codec's encode() (the file, empty when it fails); gives the
// last file's size.
template <class TEncode>
size_t TimeBareEncodes(benchmark::State& state, const TEncode& encode) {
  size_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t> file = encode();
    if (file.empty()) {
      state.SkipWithError("encode failed");
      break;
    }
    bytes = file.size();
    benchmark::DoNotOptimize(file.data());
  }
  return bytes;
}

// Times a bare codec's decode(pixels) (false when it fails) into the same
// pixel buffer each time.
template <class TDecode>
void TimeBareDecodes(benchmark::State& state, const TDecode& decode) {
  std::unique_ptr<uint8_t[]> pixels;
  for (auto _ : state) {
    if (!decode(pixels)) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(pixels.get());
  }
}

}  // namespace pixoran::bench
