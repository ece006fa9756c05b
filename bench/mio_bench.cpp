// The multi-image component loading every frame or page of a file into a
// thumbnail view: a 100-frame 640 x 480 animated GIF (full-screen frames of
// a moving photograph-like picture in 256 colours) and a 50-page A4 300-dpi
// Group 4 TIFF (text-like pages). Store type pxtThumb keeps 100-pixel
// thumbnails, as a thumbnail view does; pxtNormal keeps every full image.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_qt.h"
#include "bench/bench_support.h"
#include "io/formats/gif/giflzw.h"
#include "io/pxmio.h"
#include "io/formats/tiff/tiffilt.h"
#include "view/pxmview.h"
#include "view/pxmview_mio.h"

namespace {

using namespace pixoran;

QApplication& App() { return bench::QtApp(); }

std::string Folder() {
  const std::string d = std::filesystem::temp_directory_path() / "pxmio_bench";
  std::filesystem::create_directories(d);
  return d;
}

void U16(std::vector<uint8_t>& b, int v) {
  b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(v >> 8));
}

// Frame i shows the photograph shifted by 4 i pixels, quantized to a
// 6 x 7 x 6 colour cube.
std::string WriteGIF() {
  const std::string path = Folder() + "/anim100.gif";
  if (std::filesystem::exists(path)) return path;
  constexpr int W = 640, H = 480, Frames = 100;
  auto photo = bench::MakePhotoLike(W + 4 * Frames, H);
  std::vector<uint8_t> b = {'G', 'I', 'F', '8', '9', 'a'};
  U16(b, W), U16(b, H);
  b.insert(b.end(), {0xF7, 0, 0});
  for (int i = 0; i < 256; ++i) {
    const int r = i / 42 % 6, g = i / 6 % 7, bl = i % 6;
    b.insert(b.end(), {static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 42), static_cast<uint8_t>(bl * 51)});
  }
  b.insert(b.end(), {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0});
  std::vector<uint8_t> indices(static_cast<size_t>(W) * H);
  for (int f = 0; f < Frames; ++f) {
    for (int y = 0; y < H; ++y) {
      const uint8_t* row = photo->Scanline(y) + 3 * 4 * f;
      for (int x = 0; x < W; ++x) {
        const uint8_t* p = row + 3 * x;
        indices[static_cast<size_t>(y) * W + x] =
            static_cast<uint8_t>((p[2] * 6 / 256) * 42 + (p[1] * 7 / 256) * 6 + p[0] * 6 / 256);
      }
    }
    b.insert(b.end(), {0x21, 0xF9, 4, 4, 4, 0, 0, 0, 0x2C});
    U16(b, 0), U16(b, 0), U16(b, W), U16(b, H);
    b.push_back(0);
    TMemoryStream s;
    GIFLZWCompress(s, H, W, false, indices.data(), 8);
    b.insert(b.end(), s.Bytes().begin(), s.Bytes().end());
  }
  b.push_back(0x3B);
  TFileStream out(path, fmCreate);
  out.Write(b.data(), static_cast<int64_t>(b.size()));
  return path;
}

// 50 A4 pages at 300 dpi, each with its own lines of block "words".
std::string WriteTIFF() {
  const std::string path = Folder() + "/a4x50_g4.tif";
  if (std::filesystem::exists(path)) return path;
  constexpr int W = 2480, H = 3508, Pages = 50;
  TMemoryStream s;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TIOParamsVals params;
  params.TIFFCompression = 4;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  params.SetDpiX(300);
  params.SetDpiY(300);
  TPXBitmap page;
  page.Allocate(W, H, pxBW1);
  uint32_t seed = 777;
  for (int p = 0; p < Pages; ++p) {
    for (int y = 0; y < H; ++y) {
      uint8_t* row = page.Scanline(y);
      std::fill(row, row + (W + 7) / 8, 0xFF);  // white
      const int line = y / 50, inLine = y % 50;
      if (y <= 200 || y >= H - 200 || inLine >= 30) continue;
      for (int x = 200; x < W - 200; ++x) {
        const uint32_t g = ((x / 22) * 2654435761u) ^ ((line + 97 * p) * 40503u) ^ seed;
        if ((g & 7) == 0 || x % 22 >= 18) continue;
        const int gx = (x % 22) * 4 / 22, gy = inLine * 6 / 30;
        if ((g >> (8 + gx + gy * 4)) & 1) row[x >> 3] &= static_cast<uint8_t>(~(0x80 >> (x & 7)));
      }
    }
    params.TIFFImageIndex = p;
    s.SetPosition(0);
    WriteTIFFStream(s, p > 0, &page, progress, params);
    params.TIFFCompression = 4;
  }
  if (aborting) return {};
  s.SetPosition(0);
  if (TIFFPageCount(s) != Pages) return {};
  TFileStream out(path, fmCreate);
  out.Write(s.Bytes().data(), static_cast<int64_t>(s.Bytes().size()));
  return path;
}

void LoadAll(benchmark::State& state, const std::string& path, int32_t expected) {
  App();
  if (path.empty()) {
    state.SkipWithError("file not written");
    return;
  }
  TPixoranMView view;
  view.SetStoreType(state.range(0) ? pxtThumb : pxtNormal);
  TPixoranMIO mio;
  AttachMView(mio, &view);
  for (auto _ : state) {
    state.PauseTiming();
    view.Clear();
    state.ResumeTiming();
    mio.LoadFromFile(path);
    if (mio.Aborting() || view.GetImageCount() != expected) state.SkipWithError("load failed");
  }
  state.counters["images"] = view.GetImageCount();
}

void BM_GIF100Frames640x480(benchmark::State& state) { LoadAll(state, WriteGIF(), 100); }
void BM_TIFF50PagesA4G4(benchmark::State& state) { LoadAll(state, WriteTIFF(), 50); }

BENCHMARK(BM_GIF100Frames640x480)->ArgName("thumb")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TIFF50PagesA4G4)->ArgName("thumb")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
