// JPEG 2000 decoding and encoding of a 12-megapixel photograph-like image
// as a lossless JP2 file through the I/O component (LoadFromStream /
// SaveToStream on memory streams), against bare OpenJPEG calls doing the
// same work from and into a plain blue-green-red buffer. The pairs share
// names (Pixoran/..., Bare/...) so their times can be set side by side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <openjpeg.h>
}

#include "bench/bench_support.h"
#include "io/pixoranio.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 4000;
constexpr int32_t kHeight = 3000;

struct TImage {
  int32_t Width = 0, Height = 0;
  std::vector<uint8_t> Pixels;  // top-down rows of Width * 3 blue-green-red bytes
};

const TImage& Photo() {
  static const TImage img = [] {
    TImage i;
    auto b = bench::MakePhotoLike(kWidth, kHeight);
    i.Width = kWidth;
    i.Height = kHeight;
    i.Pixels.resize(static_cast<size_t>(kWidth) * kHeight * 3);
    for (int32_t y = 0; y < kHeight; ++y)
      std::memcpy(i.Pixels.data() + static_cast<size_t>(y) * kWidth * 3, b->Scanline(y), size_t{kWidth} * 3);
    return i;
  }();
  return img;
}

// ---------------------------------------------------------------- the bare codec

// A growing byte vector as any program would hand it to the codec.
struct TVectorFile {
  std::vector<uint8_t> Data;
  size_t Pos = 0;
};

OPJ_SIZE_T VRead(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* f = static_cast<TVectorFile*>(user);
  if (f->Pos >= f->Data.size()) return static_cast<OPJ_SIZE_T>(-1);
  n = std::min<OPJ_SIZE_T>(n, f->Data.size() - f->Pos);
  std::memcpy(buffer, f->Data.data() + f->Pos, n);
  f->Pos += n;
  return n;
}

OPJ_SIZE_T VWrite(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* f = static_cast<TVectorFile*>(user);
  if (f->Data.size() < f->Pos + n) f->Data.resize(f->Pos + n);
  std::memcpy(f->Data.data() + f->Pos, buffer, n);
  f->Pos += n;
  return n;
}

OPJ_OFF_T VSkip(OPJ_OFF_T n, void* user) {
  auto* f = static_cast<TVectorFile*>(user);
  f->Pos += static_cast<size_t>(n);
  return n;
}

OPJ_BOOL VSeek(OPJ_OFF_T n, void* user) {
  static_cast<TVectorFile*>(user)->Pos = static_cast<size_t>(n);
  return OPJ_TRUE;
}

opj_stream_t* VStream(TVectorFile& f, bool input) {
  opj_stream_t* s = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE);
  opj_stream_set_user_data(s, &f, nullptr);
  opj_stream_set_read_function(s, VRead);
  opj_stream_set_write_function(s, VWrite);
  opj_stream_set_skip_function(s, VSkip);
  opj_stream_set_seek_function(s, VSeek);
  if (input) opj_stream_set_user_data_length(s, f.Data.size());
  return s;
}

std::vector<uint8_t> BareEncode(const TImage& img) {
  opj_image_cmptparm_t comps[3] = {};
  for (auto& c : comps) {
    c.dx = c.dy = 1;
    c.w = static_cast<OPJ_UINT32>(img.Width);
    c.h = static_cast<OPJ_UINT32>(img.Height);
    c.prec = 8;
  }
  opj_image_t* image = opj_image_create(3, comps, OPJ_CLRSPC_SRGB);
  image->x1 = static_cast<OPJ_UINT32>(img.Width);
  image->y1 = static_cast<OPJ_UINT32>(img.Height);
  const size_t n = static_cast<size_t>(img.Width) * img.Height;
  const uint8_t* p = img.Pixels.data();
  for (size_t i = 0; i < n; ++i) {
    image->comps[0].data[i] = p[3 * i + 2];
    image->comps[1].data[i] = p[3 * i + 1];
    image->comps[2].data[i] = p[3 * i];
  }
  opj_cparameters_t cp;
  opj_set_default_encoder_parameters(&cp);
  cp.tcp_numlayers = 1;
  cp.tcp_rates[0] = 0;
  cp.cp_disto_alloc = 1;
  cp.tcp_mct = 1;
  TVectorFile file;
  opj_codec_t* codec = opj_create_compress(OPJ_CODEC_JP2);
  opj_stream_t* s = VStream(file, false);
  const bool ok = opj_setup_encoder(codec, &cp, image) && opj_start_compress(codec, image, s) && opj_encode(codec, s) &&
                  opj_end_compress(codec, s);
  opj_stream_destroy(s);
  opj_destroy_codec(codec);
  opj_image_destroy(image);
  return ok ? std::move(file.Data) : std::vector<uint8_t>{};
}

// Decodes into a new interleaved buffer, as a load makes a new image.
bool BareDecode(const std::vector<uint8_t>& bytes, std::unique_ptr<uint8_t[]>& pixels) {
  TVectorFile file{bytes, 0};
  opj_codec_t* codec = opj_create_decompress(OPJ_CODEC_JP2);
  opj_stream_t* s = VStream(file, true);
  opj_dparameters_t dp;
  opj_set_default_decoder_parameters(&dp);
  opj_image_t* image = nullptr;
  bool ok = opj_setup_decoder(codec, &dp) && opj_read_header(s, codec, &image) && opj_decode(codec, s, image) &&
            opj_end_decompress(codec, s) && image->numcomps >= 3;
  if (ok) {
    const size_t n = static_cast<size_t>(image->comps[0].w) * image->comps[0].h;
    pixels.reset(new uint8_t[n * 3]);
    const OPJ_INT32 *r = image->comps[0].data, *g = image->comps[1].data, *b = image->comps[2].data;
    uint8_t* d = pixels.get();
    for (size_t i = 0; i < n; ++i) {
      d[3 * i] = static_cast<uint8_t>(b[i]);
      d[3 * i + 1] = static_cast<uint8_t>(g[i]);
      d[3 * i + 2] = static_cast<uint8_t>(r[i]);
    }
  }
  if (image) opj_image_destroy(image);
  opj_stream_destroy(s);
  opj_destroy_codec(codec);
  return ok;
}

const std::vector<uint8_t>& PhotoJP2() {
  static const std::vector<uint8_t> file = BareEncode(Photo());
  return file;
}

// ---------------------------------------------------------------- decoding

void BM_Pixoran_Decode(benchmark::State& state) {
  const std::vector<uint8_t>& file = PhotoJP2();
  TPixoranIO io;
  io.PXBitmap()->MemoryThreshold = INT64_MAX;
  for (auto _ : state) {
    TReadOnlyMemoryStream ms(file.data(), static_cast<int64_t>(file.size()));
    io.LoadFromStream(ms);
    if (io.Aborting()) {
      state.SkipWithError("load failed");
      break;
    }
    benchmark::DoNotOptimize(io.PXBitmap()->Scanline(0));
  }
  state.counters["bytes"] = static_cast<double>(file.size());
}

void BM_Bare_Decode(benchmark::State& state) {
  const std::vector<uint8_t>& file = PhotoJP2();
  bench::TimeBareDecodes(state, [&](std::unique_ptr<uint8_t[]>& pixels) { return BareDecode(file, pixels); });
}

// ---------------------------------------------------------------- encoding

void BM_Pixoran_Encode(benchmark::State& state) {
  const TImage& img = Photo();
  TPixoranIO io;
  io.PXBitmap()->MemoryThreshold = INT64_MAX;
  io.PXBitmap()->Allocate(img.Width, img.Height, pxBGR24);
  for (int32_t y = 0; y < img.Height; ++y)
    std::memcpy(io.PXBitmap()->Scanline(y), img.Pixels.data() + static_cast<size_t>(y) * img.Width * 3,
                static_cast<size_t>(img.Width) * 3);
  const int64_t bytes = bench::TimeSavesToMemory(state, io, ioJP2);
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_Bare_Encode(benchmark::State& state) {
  const size_t bytes = bench::TimeBareEncodes(state, [&] { return BareEncode(Photo()); });
  state.counters["bytes"] = static_cast<double>(bytes);
}

// Pairs run back to back so both see the same machine state.
BENCHMARK(BM_Bare_Decode)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_Pixoran_Decode)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_Bare_Encode)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_Pixoran_Encode)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly();

}  // namespace

BENCHMARK_MAIN();
