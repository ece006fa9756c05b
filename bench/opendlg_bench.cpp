// The open dialog moving through a folder of 200 camera-size (4000 x 3000,
// quality 85) JPEGs: one iteration is the preview of the next file, from the
// selection change until its viewer, labels and zoom are set (the JPEG is
// decoded at the smallest scale still covering the preview). The goal is
// under 150 ms per file. The 200 names are hard links to one file, so the
// disk holds one copy; each preview still opens and decodes its file anew.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFileDialog>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_jpegs.h"
#include "bench/bench_qt.h"
#include "bench/bench_support.h"
#include "dialogs/pxopensavedlg.h"
#include "io/pixoranio.h"
#include "view/pixoranview.h"

namespace {

using namespace pixoran;

constexpr int kFiles = 200;

QApplication& App() { return bench::QtApp(); }

std::string Name(const std::string& dir, int i) { return bench::NumberedJpeg(dir, "camera", i); }

// The 200 names are hard links to one file, to spare the disk; each preview
// still opens and decodes its file.
const std::string& Folder() {
  static const std::string dir = bench::CameraJpegFolder("pxopendlg_bench", "camera", kFiles, true);
  return dir;
}

void BM_OpenDialogPreview(benchmark::State& state) {
  App();
  const std::string& dir = Folder();
  TOpenPixoranDialog dialog;
  dialog.SetInitialDir(dir);
  dialog.Prepare();
  dialog.Dialog()->show();
  QApplication::processEvents();
  int i = 0;
  int32_t decodedWidth = 0;
  for (auto _ : state) {
    dialog.ShowPreview(Name(dir, i));
    i = (i + 1) % kFiles;
    decodedWidth = dialog.PixoranView()->GetPXBitmap()->Width();
  }
  state.counters["decoded_width"] = decodedWidth;
  state.counters["viewer_width"] = dialog.PixoranView()->ClientWidth();
  dialog.Dialog()->reject();
}
BENCHMARK(BM_OpenDialogPreview)->Unit(benchmark::kMillisecond)->Iterations(kFiles);

// For comparison: the same files decoded at full size.
void BM_FullSizeDecode(benchmark::State& state) {
  App();
  const std::string& dir = Folder();
  TPixoranIO io;
  int i = 0;
  for (auto _ : state) {
    io.LoadFromFile(Name(dir, i));
    i = (i + 1) % kFiles;
  }
}
BENCHMARK(BM_FullSizeDecode)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
