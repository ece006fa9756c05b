// TIFF decoding through the I/O component (LoadFromFile) against libtiff
// reading the same files in the same binary (TIFFReadEncodedStrip into one
// buffer): a 24-megapixel photograph-like RGB image uncompressed, LZW with
// horizontal differencing and Deflate, and an A4 300-dpi Group 4 page. The
// files are written by libtiff. Pairs share names (Pixoran/..., Libtiff/...).
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000, kHeight = 4000;
constexpr int32_t kPageWidth = 2480, kPageHeight = 3508;  // A4 at 300 dpi

std::string Folder() {
  static const std::string dir = [] {
    std::string d = std::filesystem::temp_directory_path().string() + "/pixoran-tiff-bench";
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

// The RGB test image as libtiff writes it (red, green, blue bytes).
std::string WriteRGB(const char* name, uint16_t compression, uint16_t predictor) {
  const std::string path = Folder() + "/" + name;
  if (std::filesystem::exists(path)) return path;
  auto photo = bench::MakePhotoLike(kWidth, kHeight);
  TIFF* t = TIFFOpen(path.c_str(), "w");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  if (predictor) TIFFSetField(t, TIFFTAG_PREDICTOR, predictor);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<uint8_t> row(static_cast<size_t>(kWidth) * 3);
  for (int32_t y = 0; y < kHeight; ++y) {
    const uint8_t* s = photo->Scanline(y);
    for (int32_t x = 0; x < kWidth; ++x)
      row[x * 3] = s[x * 3 + 2], row[x * 3 + 1] = s[x * 3 + 1], row[x * 3 + 2] = s[x * 3];
    TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0);
  }
  TIFFClose(t);
  return path;
}

// A text-like page: lines of "words" of small black blocks.
std::string WriteG4() {
  const std::string path = Folder() + "/page_g4.tif";
  if (std::filesystem::exists(path)) return path;
  TIFF* t = TIFFOpen(path.c_str(), "w");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kPageWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kPageHeight);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kPageHeight);
  std::vector<uint8_t> row((kPageWidth + 7) / 8);
  uint32_t s = 777;
  std::vector<uint32_t> glyphs(4096);
  for (auto& g : glyphs) g = (s = s * 1664525u + 1013904223u) >> 8;
  for (int32_t y = 0; y < kPageHeight; ++y) {
    std::fill(row.begin(), row.end(), 0);
    const int32_t line = y / 50, inLine = y % 50;
    if (y > 200 && y < kPageHeight - 200 && inLine < 30)
      for (int32_t x = 200; x < kPageWidth - 200; ++x) {
        const int32_t cell = x / 22;
        const uint32_t g = glyphs[(cell * 31 + line * 7) & 4095];
        if ((g & 7) == 0) continue;  // a space
        const int32_t gx = (x % 22) * 4 / 22, gy = inLine * 6 / 30;
        if ((g >> (gx + gy * 4)) & 1 && x % 22 < 18) row[x >> 3] |= 0x80 >> (x & 7);  // minimum-is-white: 1 is black
      }
    TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0);
  }
  TIFFClose(t);
  return path;
}

void PixoranDecode(benchmark::State& state, const std::string& path) {
  TPixoranIO io;
  for (auto _ : state) {
    io.LoadFromFile(path);
    if (io.Aborting()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(io.PXBitmap()->Scanline(0));
  }
}

// Like a load, each read produces a new image buffer.
void LibtiffDecode(benchmark::State& state, const std::string& path) {
  for (auto _ : state) {
    std::vector<uint8_t> image;
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) {
      state.SkipWithError("libtiff could not open the file");
      return;
    }
    const tmsize_t strip = TIFFStripSize(t);
    const uint32_t strips = TIFFNumberOfStrips(t);
    image.resize(static_cast<size_t>(strip) * strips);
    for (uint32_t i = 0; i < strips; ++i)
      TIFFReadEncodedStrip(t, i, image.data() + static_cast<size_t>(strip) * i, strip);
    TIFFClose(t);
    benchmark::DoNotOptimize(image.data());
  }
}

#define PAIR(label, file)                                                                            \
  void Pixoran_##label(benchmark::State& s) { PixoranDecode(s, file); }                              \
  void Libtiff_##label(benchmark::State& s) { LibtiffDecode(s, file); }                              \
  BENCHMARK(Pixoran_##label)->Name("Pixoran/" #label)->Unit(benchmark::kMillisecond)->UseRealTime(); \
  BENCHMARK(Libtiff_##label)->Name("Libtiff/" #label)->Unit(benchmark::kMillisecond)->UseRealTime();

PAIR(RGB24MP_None, WriteRGB("rgb_none.tif", COMPRESSION_NONE, 0))
PAIR(RGB24MP_LZW_Pred2, WriteRGB("rgb_lzw2.tif", COMPRESSION_LZW, PREDICTOR_HORIZONTAL))
PAIR(RGB24MP_Deflate, WriteRGB("rgb_zip.tif", COMPRESSION_ADOBE_DEFLATE, 0))
PAIR(A4_300dpi_G4, WriteG4())

}  // namespace

BENCHMARK_MAIN();
