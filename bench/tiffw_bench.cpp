// TIFF encoding through the I/O component (SaveToFile) against libtiff
// writing the same image in the same binary (TIFFWriteScanline, the blue and
// red bytes exchanged per row as our writer does): a 24-megapixel
// photograph-like RGB image uncompressed, LZW with horizontal differencing,
// and PackBits. Pairs share names (Pixoran/..., Libtiff/...).
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000, kHeight = 4000;

std::string Folder() {
  static const std::string dir = [] {
    std::string d = std::filesystem::temp_directory_path().string() + "/pixoran-tiffw-bench";
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

TPXBitmap& Photo() {
  static std::unique_ptr<TPXBitmap> photo = bench::MakePhotoLike(kWidth, kHeight);
  return *photo;
}

// compression: the record's TIFFCompression (0 none, 5 LZW, 8 PackBits).
void PixoranEncode(benchmark::State& state, uint8_t compression, const char* name) {
  TPixoranIO io;
  io.SetAttachedPXBitmap(&Photo());
  io.Params().TIFFCompression = compression;
  const std::string path = Folder() + "/ours_" + name + ".tif";
  for (auto _ : state) {
    io.Params().BitsPerSample = 8;
    io.Params().SamplesPerPixel = 3;
    io.Params().TIFFCompression = compression;
    io.SaveToFile(path);
    if (io.Aborting()) state.SkipWithError("save failed");
  }
  state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
}

void LibtiffEncode(benchmark::State& state, uint16_t compression, uint16_t predictor, const char* name) {
  TPXBitmap& photo = Photo();
  const std::string path = Folder() + "/libtiff_" + name + ".tif";
  std::vector<uint8_t> row(static_cast<size_t>(kWidth) * 3);
  for (auto _ : state) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) {
      state.SkipWithError("libtiff could not create the file");
      return;
    }
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    if (predictor) TIFFSetField(t, TIFFTAG_PREDICTOR, predictor);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    for (int32_t y = 0; y < kHeight; ++y) {
      const uint8_t* s = photo.Scanline(y);
      for (int32_t x = 0; x < kWidth; ++x)
        row[x * 3] = s[x * 3 + 2], row[x * 3 + 1] = s[x * 3 + 1], row[x * 3 + 2] = s[x * 3];
      TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0);
    }
    TIFFClose(t);
  }
  state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
}

#define PAIR(label, ours, comp, pred)                                                                \
  void Pixoran_##label(benchmark::State& s) { PixoranEncode(s, ours, #label); }                      \
  void Libtiff_##label(benchmark::State& s) { LibtiffEncode(s, comp, pred, #label); }                \
  BENCHMARK(Pixoran_##label)->Name("Pixoran/" #label)->Unit(benchmark::kMillisecond)->UseRealTime(); \
  BENCHMARK(Libtiff_##label)->Name("Libtiff/" #label)->Unit(benchmark::kMillisecond)->UseRealTime();

PAIR(RGB24MP_None, 0, COMPRESSION_NONE, 0)
PAIR(RGB24MP_LZW_Pred2, 5, COMPRESSION_LZW, PREDICTOR_HORIZONTAL)
PAIR(RGB24MP_PackBits, 8, COMPRESSION_PACKBITS, 0)

}  // namespace

BENCHMARK_MAIN();
