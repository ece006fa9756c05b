// JPEG decoding and encoding of a 24-megapixel photograph-like image through
// the I/O component (LoadFromStream / SaveToStream on memory streams),
// against a bare libjpeg-turbo loop doing the same work into and from a
// plain blue-green-red buffer. Decoding at full size and at 1/8 scale;
// encoding of the full image and of a 1/8-size one. The pairs share names
// (Pixoran/..., Bare/...) so their times can be set side by side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr int kQuality = 80;  // the parameter record's default

// A blue-green-red image of smooth gradients, soft edges and sensor-like
// noise: the same on every run.
struct TImage {
  int32_t Width = 0, Height = 0;
  std::vector<uint8_t> Pixels;  // top-down rows of Width * 3 bytes
};

TImage MakePhoto(int32_t w, int32_t h) {
  TImage img;
  img.Width = w;
  img.Height = h;
  img.Pixels.resize(static_cast<size_t>(w) * h * 3);
  uint32_t s = 24601;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* p = img.Pixels.data() + static_cast<size_t>(y) * w * 3;
    for (int32_t x = 0; x < w; ++x, p += 3) {
      auto noise = [&] {
        s = s * 1664525u + 1013904223u;
        return static_cast<int32_t>((s >> 24) % 21) - 10;
      };
      // A sky-to-ground gradient, a band of "buildings" and a vignette.
      const int32_t horizon = h * 11 / 20 + ((x / 97) % 5) * h / 60;
      const bool sky = y < horizon;
      const int64_t dx = x - w / 2, dy = y - h / 2;
      const int32_t vignette =
          static_cast<int32_t>((dx * dx + dy * dy) * 40 / (int64_t{w} * w / 4 + int64_t{h} * h / 4));
      int32_t r, g, b;
      if (sky) {
        r = 90 + y * 80 / h, g = 140 + y * 60 / h, b = 230 - y * 40 / h;
      } else {
        // Fine detail: windows, bricks and foliage at a few pixels' scale.
        const int32_t tex = ((x * 7 + y * 3) / 5) % 17 + ((x / 3 + y / 2) % 7) * 4;
        r = 110 + tex * 3 - (y - horizon) * 30 / h;
        g = 95 + ((x / 4) % 3) * 12 + tex;
        b = 70 + tex * 2;
      }
      p[0] = static_cast<uint8_t>(std::clamp(b - vignette + noise(), 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(g - vignette + noise(), 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(r - vignette + noise(), 0, 255));
    }
  }
  return img;
}

// ---------------------------------------------------------------- the bare codec

struct TBareError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void BareErrorExit(j_common_ptr ci) { std::longjmp(reinterpret_cast<TBareError*>(ci->err)->jump, 1); }

// A destination that appends 64 KiB blocks to a growing vector, the way
// any program writing to a memory stream would.
struct TVectorDest {
  jpeg_destination_mgr pub;
  std::vector<uint8_t>* out;
  uint8_t buffer[65536];
};

void DestInit(j_compress_ptr ci) {
  auto* d = reinterpret_cast<TVectorDest*>(ci->dest);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = sizeof d->buffer;
}

boolean DestEmpty(j_compress_ptr ci) {
  auto* d = reinterpret_cast<TVectorDest*>(ci->dest);
  d->out->insert(d->out->end(), d->buffer, d->buffer + sizeof d->buffer);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = sizeof d->buffer;
  return TRUE;
}

void DestTerm(j_compress_ptr ci) {
  auto* d = reinterpret_cast<TVectorDest*>(ci->dest);
  d->out->insert(d->out->end(), d->buffer, d->buffer + (sizeof d->buffer - d->pub.free_in_buffer));
}

std::vector<uint8_t> BareEncode(const uint8_t* pixels, int32_t w, int32_t h) {
  jpeg_compress_struct ci;
  TBareError err;
  ci.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = BareErrorExit;
  std::vector<uint8_t> file;
  auto dest = std::make_unique<TVectorDest>();
  dest->pub.init_destination = DestInit;
  dest->pub.empty_output_buffer = DestEmpty;
  dest->pub.term_destination = DestTerm;
  dest->out = &file;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&ci);
    return {};
  }
  jpeg_create_compress(&ci);
  ci.dest = &dest->pub;
  ci.image_width = static_cast<JDIMENSION>(w);
  ci.image_height = static_cast<JDIMENSION>(h);
  ci.input_components = 3;
  ci.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&ci);
  ci.density_unit = 1;
  ci.X_density = ci.Y_density = 300;
  ci.dct_method = JDCT_ISLOW;
  jpeg_set_quality(&ci, kQuality, TRUE);
  jpeg_start_compress(&ci, TRUE);
  const size_t stride = static_cast<size_t>(w) * 3;
  while (ci.next_scanline < ci.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(pixels + ci.next_scanline * stride);
    jpeg_write_scanlines(&ci, &row, 1);
  }
  jpeg_finish_compress(&ci);
  jpeg_destroy_compress(&ci);
  return file;
}

// Decodes into a new plain buffer, as a load makes a new image; returns its size.
size_t BareDecode(const std::vector<uint8_t>& file, int denom, std::unique_ptr<uint8_t[]>& pixels) {
  jpeg_decompress_struct ci;
  TBareError err;
  ci.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = BareErrorExit;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&ci);
    return 0;
  }
  jpeg_create_decompress(&ci);
  jpeg_mem_src(&ci, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&ci, TRUE);
  ci.out_color_space = JCS_EXT_BGR;
  ci.dct_method = JDCT_ISLOW;
  ci.scale_num = 1;
  ci.scale_denom = static_cast<unsigned>(denom);
  jpeg_start_decompress(&ci);
  const size_t stride = static_cast<size_t>(ci.output_width) * 3;
  const size_t size = stride * ci.output_height;
  pixels.reset(new uint8_t[size]);
  while (ci.output_scanline < ci.output_height) {
    JSAMPROW row = pixels.get() + ci.output_scanline * stride;
    jpeg_read_scanlines(&ci, &row, 1);
  }
  jpeg_finish_decompress(&ci);
  jpeg_destroy_decompress(&ci);
  return size;
}

// ---------------------------------------------------------------- inputs, built once

const TImage& Photo() {
  static const TImage img = MakePhoto(kWidth, kHeight);
  return img;
}

const TImage& SmallPhoto() {
  static const TImage img = MakePhoto(kWidth / 8, kHeight / 8);
  return img;
}

const std::vector<uint8_t>& PhotoJpeg() {
  static const std::vector<uint8_t> file = BareEncode(Photo().Pixels.data(), kWidth, kHeight);
  return file;
}

// The image as the component's working bitmap holds it.
void FillBitmap(TPXBitmap& b, const TImage& img) {
  b.Allocate(img.Width, img.Height, pxBGR24);
  const size_t stride = static_cast<size_t>(img.Width) * 3;
  for (int32_t y = 0; y < img.Height; ++y) std::memcpy(b.Scanline(y), img.Pixels.data() + y * stride, stride);
}

// ---------------------------------------------------------------- decoding

void PixoranDecode(benchmark::State& state, uint8_t jpegScale) {
  const std::vector<uint8_t>& file = PhotoJpeg();
  TPixoranIO io;
  for (auto _ : state) {
    TReadOnlyMemoryStream ms(file.data(), static_cast<int64_t>(file.size()));
    io.Params().JPEGScale = jpegScale;
    io.LoadFromStream(ms);
    if (io.Aborting()) {
      state.SkipWithError("load failed");
      break;
    }
    benchmark::DoNotOptimize(io.PXBitmap()->Scanline(0));
  }
  state.counters["width"] = io.PXBitmap()->Width();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

void BareDecodeBench(benchmark::State& state, int denom) {
  const std::vector<uint8_t>& file = PhotoJpeg();
  bench::TimeBareDecodes(state,
                         [&](std::unique_ptr<uint8_t[]>& pixels) { return BareDecode(file, denom, pixels) != 0; });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

void BM_Pixoran_DecodeFull(benchmark::State& state) { PixoranDecode(state, 1); }
void BM_Bare_DecodeFull(benchmark::State& state) { BareDecodeBench(state, 1); }
void BM_Pixoran_DecodeEighth(benchmark::State& state) { PixoranDecode(state, 4); }
void BM_Bare_DecodeEighth(benchmark::State& state) { BareDecodeBench(state, 8); }

// ---------------------------------------------------------------- encoding

void PixoranEncode(benchmark::State& state, const TImage& img) {
  TPixoranIO io;
  FillBitmap(*io.PXBitmap(), img);
  io.Params().JPEGQuality = kQuality;
  io.Params().SetDpiX(300);
  io.Params().SetDpiY(300);
  const int64_t bytes = bench::TimeSavesToMemory(state, io, ioJPEG);
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BareEncodeBench(benchmark::State& state, const TImage& img) {
  const size_t bytes =
      bench::TimeBareEncodes(state, [&] { return BareEncode(img.Pixels.data(), img.Width, img.Height); });
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_Pixoran_EncodeFull(benchmark::State& state) { PixoranEncode(state, Photo()); }
void BM_Bare_EncodeFull(benchmark::State& state) { BareEncodeBench(state, Photo()); }
void BM_Pixoran_EncodeEighth(benchmark::State& state) { PixoranEncode(state, SmallPhoto()); }
void BM_Bare_EncodeEighth(benchmark::State& state) { BareEncodeBench(state, SmallPhoto()); }

// Pairs run back to back so both see the same machine state.
BENCHMARK(BM_Bare_DecodeFull)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Pixoran_DecodeFull)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Bare_DecodeEighth)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Pixoran_DecodeEighth)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Bare_EncodeFull)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Pixoran_EncodeFull)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Bare_EncodeEighth)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Pixoran_EncodeEighth)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
