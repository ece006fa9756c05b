// Decoding and encoding of a 24-megapixel photograph-like image as RLE TGA,
// RLE PCX and binary PPM through the I/O component (LoadFromStreamFormat /
// SaveToStream on memory streams), against a plain memcpy of the same pixel
// bytes in the same binary, into a buffer in use and into one just allocated. These formats are close to raw pixels:
// the ratio to the copy is the component's and the filter's overhead.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr size_t kPixelBytes = size_t{kWidth} * kHeight * 3;

TPXBitmap& Photo() {
  static std::unique_ptr<TPXBitmap> photo = bench::MakePhotoLike(kWidth, kHeight);
  return *photo;
}

// The photo saved once in a format, for the decoders.
const std::vector<uint8_t>& Encoded(int32_t fileType) {
  static std::vector<uint8_t> files[3];
  std::vector<uint8_t>& f = files[fileType == ioTGA ? 0 : fileType == ioPCX ? 1 : 2];
  if (f.empty()) {
    TPixoranIO io;
    io.PXBitmap()->Assign(&Photo());
    TMemoryStream ms;
    io.SaveToStream(ms, fileType);
    f = ms.Bytes();
  }
  return f;
}

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> src(kPixelBytes), dst(kPixelBytes);
  for (size_t i = 0; i < kPixelBytes; ++i) src[i] = static_cast<uint8_t>(i * 7);
  std::memset(dst.data(), 1, dst.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kPixelBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPixelBytes));
}

// The copy into memory just allocated, as a decoder's output is: the page
// faults of a fresh image are part of every load.
void BM_MemcpyFresh(benchmark::State& state) {
  std::vector<uint8_t> src(kPixelBytes);
  for (size_t i = 0; i < kPixelBytes; ++i) src[i] = static_cast<uint8_t>(i * 7);
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> dst(new uint8_t[kPixelBytes]);
    std::memcpy(dst.get(), src.data(), kPixelBytes);
    benchmark::DoNotOptimize(dst.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPixelBytes));
}

void Decode(benchmark::State& state, int32_t fileType) {
  const std::vector<uint8_t>& file = Encoded(fileType);
  TPixoranIO io;
  for (auto _ : state) {
    TReadOnlyMemoryStream ms(file.data(), static_cast<int64_t>(file.size()));
    io.LoadFromStreamFormat(ms, fileType);
    if (io.Aborting() || io.PXBitmap()->Width() != kWidth) {
      state.SkipWithError("load failed");
      return;
    }
  }
  state.counters["file_MB"] = static_cast<double>(file.size()) / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPixelBytes));
}

void Encode(benchmark::State& state, int32_t fileType) {
  TPixoranIO io;
  io.PXBitmap()->Assign(&Photo());
  TMemoryStream ms;
  for (auto _ : state) {
    ms.SetPosition(0);  // the stream keeps its storage from the last round
    io.SaveToStream(ms, fileType);
    if (io.Aborting()) {
      state.SkipWithError("save failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPixelBytes));
}

void BM_Decode_TGA(benchmark::State& s) { Decode(s, ioTGA); }
void BM_Decode_PCX(benchmark::State& s) { Decode(s, ioPCX); }
void BM_Decode_PPM(benchmark::State& s) { Decode(s, ioPXM); }
void BM_Encode_TGA(benchmark::State& s) { Encode(s, ioTGA); }
void BM_Encode_PCX(benchmark::State& s) { Encode(s, ioPCX); }
void BM_Encode_PPM(benchmark::State& s) { Encode(s, ioPXM); }

}  // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_MemcpyFresh)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Decode_PPM)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Decode_TGA)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Decode_PCX)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Encode_PPM)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Encode_TGA)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Encode_PCX)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
