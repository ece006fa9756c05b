// The geometric operations and the two distortions on row bands: the same
// bytes and the same progress values, told in order on the calling thread,
// at every thread count, in memory and in temporary files, on the whole
// picture and in a selection.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/kopxutils_settings.h"
#include "proc/pixoranproc.h"
#include "proc_support.h"

#include "thread_support.h"

using namespace pixoran;
using namespace pixoran::testing;

namespace {

struct TOperation {
  std::string Name;
  std::function<void(TPixoranProc&)> Run;
  bool Selection;  // works through the selection frame (or needs one)
};

struct TOutcome {
  std::vector<uint8_t> Before, Bytes;
  std::vector<int> Progress;
  bool ForeignThread = false;
};

// One run: a picture of odd size in the given format (with a half-clear
// alpha channel when asked), the operation, its bytes and progress.
TOutcome RunOnce(const TOperation& op, TPXPixelFormat format, bool alpha, bool tempFile, bool selection,
                 int32_t threads) {
  constexpr int32_t kW = 389, kH = 263;
  ThreadScope scope(threads, tempFile);
  FakeSelectionView view;
  view.bitmap = MakeBitmap(kW, kH, format, tempFile);
  if (format == pxPal8)
    for (int i = 0; i < 256; ++i)
      view.bitmap->SetPaletteEntry(
          i, TBGR{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)});
  FillRandom(*view.bitmap, 7 + format);
  if (alpha) {
    TPXBitmap& a = *view.bitmap->GetAlphaChannel();
    for (int32_t y = 0; y < kH; ++y)
      for (int32_t x = 0; x < kW; ++x) a.Scanline(y)[x] = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF);
    a.Full = false;
  }
  if (selection)  // an ellipse off the centre, reaching past no edge
    view.Select(8, [](int32_t x, int32_t y) {
      const double dx = (x - 170) / 150.0, dy = (y - 140) / 110.0;
      return dx * dx + dy * dy < 1 ? 255 : 0;
    });
  TPixoranProc proc;
  proc.SetAttachedPixoran(&view);
  TOutcome out;
  out.Before = Snapshot(*view.bitmap);
  const std::thread::id caller = std::this_thread::get_id();
  proc.OnProgress = [&](TObject*, int percent) {
    out.Progress.push_back(percent);
    out.ForeignThread |= std::this_thread::get_id() != caller;
  };
  op.Run(proc);
  out.Bytes = Snapshot(*view.bitmap);
  return out;
}

}  // namespace

TEST(TransformThread, EveryOperationSameBytesAtEveryThreadCount) {
  const std::vector<TOperation> ops = {
      {"flip left-right", [](TPixoranProc& p) { p.Flip(0); }, false},
      {"flip top-bottom", [](TPixoranProc& p) { p.Flip(1); }, false},
      {"rotate 90", [](TPixoranProc& p) { p.Rotate(90, false, 0, 0x102030); }, false},
      {"rotate 180", [](TPixoranProc& p) { p.Rotate(180, false, 0, 0x102030); }, false},
      {"rotate -90", [](TPixoranProc& p) { p.Rotate(-90, true, 1, 0x102030); }, false},
      {"rotate 30 shears", [](TPixoranProc& p) { p.Rotate(30, false, 0, 0x102030); }, false},
      {"rotate -127.5 shears blended", [](TPixoranProc& p) { p.Rotate(-127.5, true, 0, 0xFFFFFF); }, false},
      {"rotate 30 bilinear", [](TPixoranProc& p) { p.Rotate(30, true, 1, 0x102030); }, false},
      {"rotate 211 bicubic", [](TPixoranProc& p) { p.Rotate(211, true, 2, 0x102030); }, false},
      {"crop", [](TPixoranProc& p) { p.CropSel(); }, true},
      {"wave shift", [](TPixoranProc& p) { p.Wave(5, 7, 30, false); }, true},
      {"wave scale", [](TPixoranProc& p) { p.Wave(2, 9, 200, true); }, true},
      {"lens", [](TPixoranProc& p) { p.Lens(180, 120, 300, 220, 2.5); }, true},
  };
  struct TFormat {
    TPXPixelFormat Format;
    bool Alpha;
  };
  const TFormat formats[] = {{pxBGR24, false}, {pxBGR24, true}, {pxGray8, true}, {pxPal8, false}, {pxBW1, true}};
  for (const TOperation& op : ops)
    for (const TFormat& f : formats)
      for (bool tempFile : {false, true})
        for (bool selection : {false, true}) {
          if (selection && !op.Selection) continue;
          // The distortions take 24-bit pictures only; the other formats
          // would only show that nothing changes.
          if (op.Name.starts_with("wave") || op.Name.starts_with("lens"))
            if (f.Format != pxBGR24) continue;
          const TOutcome one = RunOnce(op, f.Format, f.Alpha, tempFile, selection, 1);
          if (f.Format == pxBGR24 && (selection || op.Name != "crop")) {
            EXPECT_NE(one.Bytes, one.Before) << op.Name << " changed nothing";
          }
          for (int32_t threads : kThreadCounts) {
            if (threads == 1) continue;
            const TOutcome many = RunOnce(op, f.Format, f.Alpha, tempFile, selection, threads);
            const std::string where = op.Name + " format " + std::to_string(f.Format) + (f.Alpha ? " alpha" : "") +
                                      (tempFile ? " temp file" : " memory") + (selection ? " selection" : " whole") +
                                      " threads " + std::to_string(threads);
            EXPECT_TRUE(many.Bytes == one.Bytes) << where;
            EXPECT_EQ(many.Progress, one.Progress) << where;
            EXPECT_FALSE(many.ForeignThread) << where;
          }
        }
}
