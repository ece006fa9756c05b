// A program's whole run on one photograph, as tools/workload_peers.sh times
// it against the vips command line: a 6000 x 4000 JPEG loaded through the
// I/O component, 100 pixels cropped off every side (a copy of the rectangle
// into a new bitmap; the decoded picture is freed then), reduced to 0.9 of
// its size by the processing component (Lanczos3, no undo) and saved as a
// JPEG at quality 75. Library defaults throughout (thread count, memory
// threshold), unless PIXORAN_THREADS sets the thread count.
//
//   workload_bench --make-jpeg=FILE   writes the input: the benchmarks'
//                                     picture at quality 90
//   workload_bench --run IN OUT       runs the workload once (for
//                                     /usr/bin/time: wall time, peak memory)
//   workload_bench [benchmark flags]  times it on a file of its own
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "io/pixoranio.h"
#include "proc/pixoranproc.h"

namespace {

using namespace pixoran;

constexpr int32_t kMargin = 100;
constexpr double kScale = 0.9;

bool MakeJpeg(const std::string& path) {
  TPXBitmap& pic = bench::SharedPhotoLike<6000, 4000>();
  TPixoranIO io;
  io.SetAttachedPXBitmap(&pic);
  io.Params().JPEGQuality = 90;
  io.SaveToFileJPEG(path);
  io.SetAttachedPXBitmap(nullptr);
  return io.LastResult() == iorOk;
}

// Load, crop, reduce, save; false (with the reason on stderr) when a step
// fails.
bool RunWorkload(const std::string& in, const std::string& out) {
  TPixoranIO io;
  auto picture = std::make_unique<TPXBitmap>();
  io.SetAttachedPXBitmap(picture.get());
  io.LoadFromFileJPEG(in);
  if (io.LastResult() != iorOk || picture->Width() <= 2 * kMargin || picture->Height() <= 2 * kMargin) {
    std::fprintf(stderr, "load failed: %s\n", io.LastResultText().c_str());
    return false;
  }
  const int32_t w = picture->Width() - 2 * kMargin, h = picture->Height() - 2 * kMargin;
  TPXBitmap crop;
  if (!crop.Allocate(w, h, picture->PixelFormat())) return false;
  picture->CopyRectTo(crop, kMargin, kMargin, 0, 0, w, h);
  io.SetAttachedPXBitmap(nullptr);
  picture.reset();

  TPixoranProc proc;
  proc.SetAutoUndo(false);
  proc.AttachBitmap(&crop);
  proc.Resample(static_cast<int32_t>(w * kScale), static_cast<int32_t>(h * kScale), rfLanczos3);
  proc.AttachBitmap(nullptr);
  if (proc.Aborting()) {
    std::fprintf(stderr, "reduction failed\n");
    return false;
  }

  io.SetAttachedPXBitmap(&crop);
  io.Params().JPEGQuality = 75;
  io.SaveToFileJPEG(out);
  io.SetAttachedPXBitmap(nullptr);
  if (io.LastResult() != iorOk) {
    std::fprintf(stderr, "save failed: %s\n", io.LastResultText().c_str());
    return false;
  }
  return true;
}

void BM_LoadCropReduceSave(benchmark::State& state) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string in = dir / "pxworkload_in.jpg", out = dir / "pxworkload_out.jpg";
  if (!MakeJpeg(in)) {
    state.SkipWithError("cannot write the input");
    return;
  }
  for (auto _ : state)
    if (!RunWorkload(in, out)) {
      state.SkipWithError("the workload failed");
      break;
    }
  std::filesystem::remove(in);
  std::filesystem::remove(out);
}
BENCHMARK(BM_LoadCropReduceSave)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  constexpr const char* kMakeFlag = "--make-jpeg=";
  if (argc == 2 && std::strncmp(argv[1], kMakeFlag, std::strlen(kMakeFlag)) == 0)
    return MakeJpeg(argv[1] + std::strlen(kMakeFlag)) ? 0 : 1;
  if (argc == 4 && std::strcmp(argv[1], "--run") == 0) return RunWorkload(argv[2], argv[3]) ? 0 : 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
