// The processing operations on the row-band pool: every thread count gives
// the bytes and the progress values of one thread.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/kopxutils_settings.h"
#include "proc/pixoranproc.h"
#include "proc/pxedges.h"
#include "proc/pxfilters.h"
#include "proc_support.h"

#include "thread_support.h"

namespace pixoran {
namespace {

using testing::FakeSelectionView;
using testing::FillRandom;
using testing::MakeBitmap;
using testing::Snapshot;

using testing::ThreadScope;

struct Outcome {
  std::vector<uint8_t> bytes;  // the image and its alpha channel
  std::vector<int> progress;
  bool offThread = false;  // a progress value came from another thread
  int32_t undo = 0;
};

// The picture: noise with a dark red blob (for the red-eye and colour-range
// operations) and an alpha channel with transparent pixels (for shadows and
// the merge through the selection).
std::unique_ptr<FakeSelectionView> MakePicture(int32_t w, int32_t h, TPXPixelFormat f, bool tempFile, bool select) {
  auto view = std::make_unique<FakeSelectionView>();
  view->bitmap = MakeBitmap(w, h, f, tempFile);
  TPXBitmap& b = *view->bitmap;
  FillRandom(b, static_cast<uint32_t>(w * 31 + h));
  if (f == pxBGR24)
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w / 3; ++x) {
        uint8_t* p = b.Scanline(y) + 3 * x;
        p[0] = static_cast<uint8_t>(p[0] / 4), p[1] = static_cast<uint8_t>(p[1] / 4), p[2] = 200;
      }
  TPXBitmap& alpha = *b.GetAlphaChannel();
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* a = alpha.Scanline(y);
    for (int32_t x = 0; x < w; ++x) a[x] = static_cast<uint8_t>((x * 7 + y * 3) % 4 * 85);
  }
  b.Full = false;
  if (select)  // a ring with partial values, so pixels in its box lie outside it
    view->Select(8, [w, h](int32_t x, int32_t y) -> uint8_t {
      const int64_t dx = 2 * x - w, dy = 2 * y - h, d = dx * dx * h * h + dy * dy * w * w;
      const int64_t r = int64_t{w} * w * h * h;
      return d < r && d * 9 > r ? static_cast<uint8_t>(d * 255 / r | 1) : 0;
    });
  return view;
}

using TOp = std::function<void(TPixoranProc& proc, TPXBitmap& image, bool select)>;

struct OpCase {
  const char* name;
  std::vector<TPXPixelFormat> formats;
  TOp run;
};

Outcome RunOp(const OpCase& op, TPXPixelFormat f, int32_t w, int32_t h, bool select, bool tempFile, int32_t threads) {
  ThreadScope scope(threads, tempFile);
  auto view = MakePicture(w, h, f, tempFile, select);
  TPixoranProc proc;
  proc.SetAttachedPixoran(view.get());
  Outcome out;
  const auto caller = std::this_thread::get_id();
  proc.OnProgress = [&](TObject*, int percent) {
    out.progress.push_back(percent);
    out.offThread = out.offThread || std::this_thread::get_id() != caller;
  };
  op.run(proc, *view->bitmap, select);
  out.bytes = Snapshot(*view->bitmap);
  out.undo = proc.UndoCount();
  return out;
}

TEST(ProcThread, EveryOperationSameBytesAtEveryThreadCount) {
  std::array<TBGR, 256> palette{};
  const std::vector<OpCase> ops = {
      {"Blur 2", {pxGray8, pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.Blur(2); }},
      {"Blur 10", {pxGray8, pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.Blur(10); }},
      {"ConvertToGray", {pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.ConvertToGray(); }},
      {"Negative", {pxBGR24, pxBW1}, [](TPixoranProc& p, TPXBitmap&, bool) { p.Negative(); }},
      {"SetTransparentColors",
       {pxBGR24, pxBW1},
       [](TPixoranProc& p, TPXBitmap&, bool) {
         p.SetTransparentColors({0, 0, 150}, {120, 200, 255}, 17);
       }},
      {"RemoveRedEyes", {pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.RemoveRedEyes(); }},
      {"ConvertTo 2 threshold", {pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.ConvertTo(2, true); }},
      {"ConvertTo 2 dither", {pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.ConvertTo(2, false); }},
      {"ConvertTo 16", {pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.ConvertTo(16, false); }},
      {"ConvertToPalette 200",
       {pxBGR24},
       [&palette](TPixoranProc& p, TPXBitmap&, bool) { p.ConvertToPalette(200, palette, false); }},
      {"AddSoftShadow",
       {pxBGR24, pxGray8, pxBW1},
       [](TPixoranProc& p, TPXBitmap&, bool) { p.AddSoftShadow(3, 4, -2, false, 0x336699); }},
      {"AddSoftShadow enlarged",
       {pxBGR24},
       [](TPixoranProc& p, TPXBitmap&, bool) { p.AddSoftShadow(1.5, -3, 5, true, 0x000000); }},
      {"EdgeDetect", {pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.EdgeDetect(7, 0, 0.99, 0.9, true); }},
      {"EdgeDetect thinned", {pxBGR24}, [](TPixoranProc& p, TPXBitmap&, bool) { p.EdgeDetect(5, 2, 0.9, 0.7, false); }},
      // The routines the viewers call directly, on the whole picture or an
      // object's rectangle inside it.
      {"DrawSoftShadowRect 3x3",
       {pxBGR24, pxBW1},
       [](TPixoranProc&, TPXBitmap& b, bool part) {
         const TRect r = part ? TRect{b.Width() / 4, b.Height() / 4, b.Width() / 2, b.Height() / 2}
                              : TRect{0, 0, b.Width(), b.Height()};
         DrawSoftShadowRect(b, 2, 3, r, 0);
       }},
      {"DrawSoftShadowRect Gaussian",
       {pxBGR24},
       [](TPixoranProc&, TPXBitmap& b, bool part) {
         const TRect r =
             part ? TRect{b.Width() / 3, 1, b.Width() - 2, b.Height() - 1} : TRect{0, 0, b.Width(), b.Height()};
         DrawSoftShadowRect(b, -4, 1, r, 2.5);
       }},
      {"ApplyFilter3x3",
       {pxGray8},
       [](TPixoranProc&, TPXBitmap& b, bool part) {
         for (const TPXFilterKernel& k : {kFilterEdges, kFilterEmboss, kFilterLowPass2})
           if (part) ApplyFilter3x3(b, k, 1, b.Height() / 3, b.Width() - 1, b.Height());
           else ApplyFilter3x3(b, k, 0, 0, b.Width(), b.Height());
       }},
  };
  struct Size {
    int32_t w, h;
    bool tempFileToo;
  };
  // Odd sizes both ways; the large one has bands for all eight threads.
  const Size sizes[] = {{1001, 37, true}, {37, 1001, true}, {3, 2, true}, {613, 419, false}};
  constexpr int32_t kThreadCounts[] = {2, 3, 8};
  for (const OpCase& op : ops)
    for (TPXPixelFormat f : op.formats)
      for (const Size& size : sizes)
        for (bool select : {false, true})
          for (bool tempFile : {false, true}) {
            if (tempFile && !size.tempFileToo) continue;
            SCOPED_TRACE(::testing::Message() << op.name << " format " << int(f) << " " << size.w << "x" << size.h
                                              << (select ? " selection" : " whole") << (tempFile ? " file" : ""));
            const Outcome one = RunOp(op, f, size.w, size.h, select, tempFile, 1);
            // The routines the viewers call tell no progress; every operation does.
            const std::string name = op.name;
            EXPECT_EQ(one.progress.empty(), name.starts_with("DrawSoftShadowRect") || name == "ApplyFilter3x3");
            EXPECT_FALSE(one.offThread);
            for (int32_t threads : kThreadCounts) {
              const Outcome many = RunOp(op, f, size.w, size.h, select, tempFile, threads);
              EXPECT_TRUE(many.bytes == one.bytes) << threads << " threads";
              EXPECT_EQ(many.progress, one.progress) << threads << " threads";
              EXPECT_FALSE(many.offThread) << threads << " threads";
              EXPECT_EQ(many.undo, one.undo);
            }
          }
}

}  // namespace
}  // namespace pixoran
