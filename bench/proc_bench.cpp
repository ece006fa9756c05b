// Colour operations of the processing component on a 6000 x 4000 24-bit
// photograph-like image, without and with the undo entry (kept in memory or
// in a temporary file), against a plain memcpy of the same image in this
// binary and a copy into a new bitmap. SaveUndo alone gives the undo entry's own cost, into an empty list
// (a new copy) and into a full one (the dropped entry's storage reused).
#include <benchmark/benchmark.h>

#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "proc/pixoranproc.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

TPXBitmap& Photo() { return bench::SharedPhotoLike<kWidth, kHeight>(); }

int64_t ImageBytes() { return int64_t{Photo().RowLen()} * kHeight; }

// The floor: the image's rows copied into a buffer of the same size.
void BM_Memcpy(benchmark::State& state) {
  TPXBitmap& src = Photo();
  std::vector<uint8_t> dst(static_cast<size_t>(ImageBytes()), 1);
  const int64_t rowLen = src.RowLen();
  for (auto _ : state) {
    for (int32_t y = 0; y < kHeight; ++y)
      std::memcpy(dst.data() + y * rowLen, src.Scanline(y), static_cast<size_t>(rowLen));
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * ImageBytes());
}

// A full copy as a program makes one: the image into a new bitmap (fresh
// storage each time, as "vips copy" writes a new image; the transform peer
// script times the two side by side).
void BM_CopyToNewBitmap(benchmark::State& state) {
  TPXBitmap& src = Photo();
  for (auto _ : state) {
    TPXBitmap copy;
    copy.MemoryThreshold = std::numeric_limits<int64_t>::max();
    copy.Assign(&src);
    benchmark::DoNotOptimize(copy.Scanline(kHeight - 1));
  }
  state.SetBytesProcessed(state.iterations() * ImageBytes());
}

enum Undo { kNoUndo = 0, kUndoInMemory = 1, kUndoTempFile = 2 };

void Configure(TPixoranProc& proc, int64_t undo) {
  proc.AttachBitmap(&Photo());
  proc.SetAutoUndo(undo != kNoUndo);
  proc.SetUndoLocation(undo == kUndoTempFile ? pxTempFile : pxInMemory);
}

void BM_Negative(benchmark::State& state) {
  TPixoranProc proc;
  Configure(proc, state.range(0));
  for (auto _ : state) proc.Negative();
  state.SetBytesProcessed(state.iterations() * ImageBytes());
}

void BM_ConvertToGray(benchmark::State& state) {
  TPixoranProc proc;
  Configure(proc, state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    // A fresh colour image each time (the grey of a grey image costs the same,
    // but the undo copy should see real data).
    TPXBitmap& img = Photo();
    static std::unique_ptr<TPXBitmap> colour = bench::MakePhotoLike(kWidth, kHeight);
    for (int32_t y = 0; y < kHeight; ++y) std::memcpy(img.Scanline(y), colour->Scanline(y), img.RowLen());
    state.ResumeTiming();
    proc.ConvertToGray();
  }
  state.SetBytesProcessed(state.iterations() * ImageBytes());
}

// The undo entry alone, in a full list (UndoLimit 1): the dropped entry's
// storage takes the copy.
void BM_SaveUndo(benchmark::State& state) {
  TPixoranProc proc;
  Configure(proc, state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(proc.SaveUndo(pxusImage));
  state.SetBytesProcessed(state.iterations() * ImageBytes());
}

// The undo entry into an empty list: a new copy of the whole image.
void BM_SaveUndoFresh(benchmark::State& state) {
  TPixoranProc proc;
  Configure(proc, state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    proc.ClearUndo();
    state.ResumeTiming();
    benchmark::DoNotOptimize(proc.SaveUndo(pxusImage));
  }
  state.SetBytesProcessed(state.iterations() * ImageBytes());
}

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyToNewBitmap)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Negative)
    ->Arg(kNoUndo)
    ->Arg(kUndoInMemory)
    ->Arg(kUndoTempFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ConvertToGray)
    ->Arg(kNoUndo)
    ->Arg(kUndoInMemory)
    ->Arg(kUndoTempFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SaveUndoFresh)->Arg(kUndoInMemory)->Arg(kUndoTempFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SaveUndo)->Arg(kUndoInMemory)->Arg(kUndoTempFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
