// GIF decoding and encoding of a 4000 x 3000, 256-colour image through the
// I/O component (LoadFromBuffer / SaveToStream on memory), and decoding of
// the same bytes by Qt's own GIF reader (QImageReader on a QBuffer) in the
// same run. The pair shares names (Pixoran/..., Qt/...) so their times can
// be set side by side.
#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include <cstdint>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 4000;
constexpr int32_t kHeight = 3000;

// The photograph-like image in a 3-3-2 palette: 256 colours with the
// photograph's noise, as a dithered GIF of a photo has.
std::unique_ptr<TPXBitmap> MakePaletted() {
  auto photo = bench::MakePhotoLike(kWidth, kHeight);
  auto pal = std::make_unique<TPXBitmap>();
  pal->MemoryThreshold = photo->MemoryThreshold;
  pal->Allocate(kWidth, kHeight, pxPal8);
  for (int32_t i = 0; i < 256; ++i)
    pal->Palette()[i] = TBGR{static_cast<uint8_t>((i & 3) * 85), static_cast<uint8_t>(((i >> 2) & 7) * 36),
                             static_cast<uint8_t>((i >> 5) * 36)};
  for (int32_t y = 0; y < kHeight; ++y) {
    const uint8_t* s = photo->Scanline(y);
    uint8_t* d = pal->Scanline(y);
    for (int32_t x = 0; x < kWidth; ++x, s += 3)
      d[x] = static_cast<uint8_t>((s[2] >> 5 << 5) | (s[1] >> 5 << 2) | (s[0] >> 6));
  }
  return pal;
}

const std::vector<uint8_t>& GifBytes() {
  static const std::vector<uint8_t> bytes = [] {
    auto pal = MakePaletted();
    TPixoranIO io;
    io.SetAttachedPXBitmap(pal.get());
    io.Params().BitsPerSample = 8;
    TMemoryStream out;
    io.SaveToStream(out, ioGIF);
    io.SetAttachedPXBitmap(nullptr);
    return out.Bytes();
  }();
  return bytes;
}

void BM_Pixoran_Decode(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = GifBytes();
  TPixoranIO io;
  for (auto _ : state) {
    io.LoadFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), ioGIF);
    if (io.Aborting() || io.PXBitmap()->Width() != kWidth) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(io.PXBitmap()->Scanline(0));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes.size());
}
BENCHMARK(BM_Pixoran_Decode)->Name("Pixoran/Decode")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Qt_Decode(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = GifBytes();
  const QByteArray data =
      QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
  for (auto _ : state) {
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "gif");
    const QImage image = reader.read();
    if (image.width() != kWidth) state.SkipWithError("Qt could not decode");
    benchmark::DoNotOptimize(image.constBits());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes.size());
}
BENCHMARK(BM_Qt_Decode)->Name("Qt/Decode")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Pixoran_Encode(benchmark::State& state) {
  auto pal = MakePaletted();
  TPixoranIO io;
  io.SetAttachedPXBitmap(pal.get());
  io.Params().BitsPerSample = 8;
  for (auto _ : state) {
    TMemoryStream out;
    io.SaveToStream(out, ioGIF);
    if (io.Aborting()) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(out.Memory());
  }
  io.SetAttachedPXBitmap(nullptr);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight);
}
BENCHMARK(BM_Pixoran_Encode)->Name("Pixoran/Encode")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
