// PNG decoding and encoding of a 24-megapixel photograph-like image, RGB and
// RGBA, through the I/O component (LoadFromStream / SaveToStream on memory
// streams), against a bare libpng loop on the same bytes: decoding into a
// plain blue-green-red(-alpha) buffer, encoding from one, with the same
// filter and deflate level. The pairs share names (Pixoran/..., Bare/...);
// Filter/DecodeRGBA calls the reader alone, to tell its share from the
// component's.
#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/formats/png/pngfilt.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr int kLevel = 5;  // the parameter record's default deflate level

// The photograph with a soft alpha (a vignette-like fall-off with fine
// structure), as one blue-green-red-alpha buffer and as the component's
// bitmap with its alpha channel.
struct TSource {
  std::unique_ptr<TPXBitmap> Bitmap;  // with an alpha channel
  std::vector<uint8_t> BGR, BGRA;     // top-down rows
};

const TSource& Source() {
  static const TSource src = [] {
    TSource s;
    s.Bitmap = bench::MakePhotoLike(kWidth, kHeight);
    TPXBitmap* alpha = s.Bitmap->GetAlphaChannel();
    s.BGR.resize(size_t{kWidth} * kHeight * 3);
    s.BGRA.resize(size_t{kWidth} * kHeight * 4);
    for (int32_t y = 0; y < kHeight; ++y) {
      const uint8_t* p = s.Bitmap->Scanline(y);
      uint8_t* a = alpha->Scanline(y);
      std::memcpy(&s.BGR[size_t{kWidth} * 3 * y], p, size_t{kWidth} * 3);
      uint8_t* q = &s.BGRA[size_t{kWidth} * 4 * y];
      for (int32_t x = 0; x < kWidth; ++x, p += 3, q += 4) {
        const int64_t dx = x - kWidth / 2, dy = y - kHeight / 2;
        const int32_t fall = static_cast<int32_t>((dx * dx + dy * dy) * 255 / (int64_t{kWidth} * kWidth / 4));
        a[x] = static_cast<uint8_t>(std::clamp(255 - fall + ((x ^ y) & 7), 0, 255));
        q[0] = p[0], q[1] = p[1], q[2] = p[2], q[3] = a[x];
      }
    }
    alpha->Full = false;
    return s;
  }();
  return src;
}

// ---------------------------------------------------------------- the bare codec

struct TBareWrite {
  std::vector<uint8_t>* out;
};

void BareWriteProc(png_structp png, png_bytep data, size_t length) {
  auto* w = static_cast<TBareWrite*>(png_get_io_ptr(png));
  w->out->insert(w->out->end(), data, data + length);
}
void BareFlushProc(png_structp) {}

std::vector<uint8_t> BareEncode(const uint8_t* pixels, bool alpha) {
  std::vector<uint8_t> file;
  TBareWrite sink{&file};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &sink, BareWriteProc, BareFlushProc);
  png_set_IHDR(png, info, kWidth, kHeight, 8, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_pHYs(png, info, 11811, 11811, PNG_RESOLUTION_METER);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_compression_level(png, kLevel);
  png_write_info(png, info);
  png_set_bgr(png);
  const size_t stride = size_t{kWidth} * (alpha ? 4 : 3);
  for (int32_t y = 0; y < kHeight; ++y) png_write_row(png, pixels + stride * y);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return file;
}

struct TBareRead {
  const uint8_t* data;
  size_t size, pos;
};

void BareReadProc(png_structp png, png_bytep out, size_t length) {
  auto* r = static_cast<TBareRead*>(png_get_io_ptr(png));
  if (r->size - r->pos < length) png_error(png, "short");
  std::memcpy(out, r->data + r->pos, length);
  r->pos += length;
}

// Decodes into a new plain buffer, as a load makes a new image.
bool BareDecode(const std::vector<uint8_t>& file, std::unique_ptr<uint8_t[]>& pixels) {
  TBareRead src{file.data(), file.size(), 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &src, BareReadProc);
  png_read_info(png, info);
  png_set_bgr(png);
  png_read_update_info(png, info);
  const size_t stride = png_get_rowbytes(png, info);
  const png_uint_32 h = png_get_image_height(png, info);
  pixels.reset(new uint8_t[stride * h]);
  for (png_uint_32 y = 0; y < h; ++y) png_read_row(png, pixels.get() + stride * y, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

const std::vector<uint8_t>& File(bool alpha) {
  static const std::vector<uint8_t> rgb = BareEncode(Source().BGR.data(), false);
  static const std::vector<uint8_t> rgba = BareEncode(Source().BGRA.data(), true);
  return alpha ? rgba : rgb;
}

// ---------------------------------------------------------------- decoding

void PixoranDecode(benchmark::State& state, bool alpha) {
  const std::vector<uint8_t>& file = File(alpha);
  TPixoranIO io;
  for (auto _ : state) {
    TReadOnlyMemoryStream ms(file.data(), static_cast<int64_t>(file.size()));
    io.LoadFromStream(ms);
    if (io.Aborting() || io.PXBitmap()->HasAlphaChannel() != alpha) {
      state.SkipWithError("load failed");
      break;
    }
    benchmark::DoNotOptimize(io.PXBitmap()->Scanline(0));
  }
  state.counters["file MB"] = static_cast<double>(file.size()) / 1e6;
}

void BareDecodeBench(benchmark::State& state, bool alpha) {
  const std::vector<uint8_t>& file = File(alpha);
  bench::TimeBareDecodes(state, [&](std::unique_ptr<uint8_t[]>& pixels) { return BareDecode(file, pixels); });
  state.counters["file MB"] = static_cast<double>(file.size()) / 1e6;
}

// The reader alone, into a new bitmap and alpha bitmap as a load makes them.
void BM_Filter_DecodeRGBA(benchmark::State& state) {
  const std::vector<uint8_t>& file = File(true);
  for (auto _ : state) {
    TReadOnlyMemoryStream ms(file.data(), static_cast<int64_t>(file.size()));
    TPXBitmap bitmap, alpha;
    TIOParamsVals params;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    PNGFormatRead(ms, bitmap, params, progress, false, 0, alpha);
    if (aborting || alpha.Width() != kWidth) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(alpha.Scanline(0));
  }
}

// ---------------------------------------------------------------- encoding

void PixoranEncode(benchmark::State& state, bool alpha) {
  TPixoranIO io;
  io.PXBitmap()->Assign(Source().Bitmap.get());
  if (!alpha) io.PXBitmap()->RemoveAlphaChannel();
  io.Params().PNGCompression = kLevel;
  io.Params().PNGFilter = 0;
  io.Params().SetDpiX(300);
  io.Params().SetDpiY(300);
  const int64_t bytes = bench::TimeSavesToMemory(state, io, ioPNG);
  state.counters["file MB"] = static_cast<double>(bytes) / 1e6;
}

void BareEncodeBench(benchmark::State& state, bool alpha) {
  const uint8_t* pixels = alpha ? Source().BGRA.data() : Source().BGR.data();
  const size_t bytes = bench::TimeBareEncodes(state, [&] { return BareEncode(pixels, alpha); });
  state.counters["file MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_Bare_DecodeRGB(benchmark::State& s) { BareDecodeBench(s, false); }
void BM_Pixoran_DecodeRGB(benchmark::State& s) { PixoranDecode(s, false); }
void BM_Bare_DecodeRGBA(benchmark::State& s) { BareDecodeBench(s, true); }
void BM_Pixoran_DecodeRGBA(benchmark::State& s) { PixoranDecode(s, true); }
void BM_Bare_EncodeRGB(benchmark::State& s) { BareEncodeBench(s, false); }
void BM_Pixoran_EncodeRGB(benchmark::State& s) { PixoranEncode(s, false); }
void BM_Bare_EncodeRGBA(benchmark::State& s) { BareEncodeBench(s, true); }
void BM_Pixoran_EncodeRGBA(benchmark::State& s) { PixoranEncode(s, true); }

// Pairs run back to back so both see the same machine state; medians of
// repetitions, as the machine is shared.
#define PNG_PAIR(bare, ours)                                                                                \
  BENCHMARK(bare)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3)->ReportAggregatesOnly(true); \
  BENCHMARK(ours)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3)->ReportAggregatesOnly(true)
PNG_PAIR(BM_Bare_DecodeRGB, BM_Pixoran_DecodeRGB);
PNG_PAIR(BM_Bare_DecodeRGBA, BM_Pixoran_DecodeRGBA);
BENCHMARK(BM_Filter_DecodeRGBA)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
PNG_PAIR(BM_Bare_EncodeRGB, BM_Pixoran_EncodeRGB);
PNG_PAIR(BM_Bare_EncodeRGBA, BM_Pixoran_EncodeRGBA);

}  // namespace

BENCHMARK_MAIN();
