// The processing component's frame: attachment, selection restriction and
// merge, undo and redo lists with captions, progress.
#include "proc/pixoranproc.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "proc_support.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using testing::FakeSelectionView;
using testing::FillRandom;
using testing::MakeBitmap;
using testing::Snapshot;

std::unique_ptr<FakeSelectionView> MakeView(int32_t w, int32_t h, TPXPixelFormat f, bool tempFile = false) {
  auto v = std::make_unique<FakeSelectionView>();
  v->bitmap = MakeBitmap(w, h, f, tempFile);
  FillRandom(*v->bitmap, 1234);
  return v;
}

// ------------------------------------------------------------ selection frame

TEST(ProcSelection, NegativeChangesExactlyTheMaskedPixelsAndKeepsTransparency) {
  struct Case {
    TPXPixelFormat format;
    int32_t maskBits;
    bool tempFile;
  };
  const Case cases[] = {
      {pxBGR24, 1, false}, {pxBGR24, 8, false}, {pxBGR24, 8, true}, {pxBW1, 1, false}, {pxBW1, 8, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << int(c.format) << " mask " << c.maskBits << " file "
                                      << c.tempFile);
    auto view = MakeView(37, 23, c.format, c.tempFile);
    TPXBitmap& img = *view->bitmap;
    // Transparent and half-transparent pixels everywhere, inside the selection too.
    TPXBitmap& alpha = *img.GetAlphaChannel();
    for (int32_t y = 0; y < img.Height(); ++y)
      for (int32_t x = 0; x < img.Width(); ++x) alpha.SetByte(x, y, static_cast<uint8_t>((x * 7 + y * 3) % 4 * 85));
    img.Full = false;
    // A disc with a hole: pixels inside the box but outside the mask exist.
    auto level = [](int32_t x, int32_t y) -> uint8_t {
      const int32_t d = (x - 18) * (x - 18) + (y - 11) * (y - 11);
      if (d > 81 || d < 9) return 0;
      return static_cast<uint8_t>(d * 3);  // partial values for the 8-bit mask
    };
    view->Select(c.maskBits, level);
    const std::vector<uint8_t> alphaBefore = [&] {
      std::vector<uint8_t> a;
      for (int32_t y = 0; y < img.Height(); ++y)
        for (int32_t x = 0; x < img.Width(); ++x) a.push_back(alpha.GetByte(x, y));
      return a;
    }();
    auto before = MakeBitmap(img.Width(), img.Height(), c.format);
    before->Assign(&img);
    const auto beforeAll = Snapshot(img);

    TPixoranProc proc;
    proc.SetAttachedPixoran(view.get());
    proc.Negative();

    for (int32_t y = 0; y < img.Height(); ++y) {
      for (int32_t x = 0; x < img.Width(); ++x) {
        const int32_t mv = c.maskBits == 1 ? (level(x, y) ? 255 : 0) : level(x, y);
        if (c.format == pxBW1) {
          const bool was = before->Scanline(y)[x >> 3] & (0x80 >> (x & 7));
          const bool now = img.Scanline(y)[x >> 3] & (0x80 >> (x & 7));
          EXPECT_EQ(now, mv ? !was : was) << x << "," << y;
          continue;
        }
        for (int k = 0; k < 3; ++k) {
          const int32_t d = before->Scanline(y)[3 * x + k];
          const int32_t s = 255 - d;
          // 1-bit: a copy; 8-bit: d + (s - d) * value / 256, rounded down.
          const int32_t expect =
              c.maskBits == 1 ? (mv ? s : d) : d + static_cast<int32_t>(std::floor((s - d) * mv / 256.0));
          ASSERT_EQ(img.Scanline(y)[3 * x + k], expect) << x << "," << y << " k " << k << " mask " << mv;
        }
      }
    }
    for (int32_t y = 0; y < img.Height(); ++y)
      for (int32_t x = 0; x < img.Width(); ++x)
        ASSERT_EQ(alpha.GetByte(x, y), alphaBefore[static_cast<size_t>(y * img.Width() + x)]) << x << "," << y;
    EXPECT_EQ(view->updates, 1);
    EXPECT_EQ(view->imageChanges, 1);

    // The undo entry took the whole image: undo gives back every pixel and alpha.
    ASSERT_EQ(proc.UndoCaptions(), std::vector<std::string>{"Negative"});
    proc.Undo();
    EXPECT_EQ(Snapshot(img), beforeAll);
  }
}

TEST(ProcSelection, TransparentColoursInASelectionReachOnlyTheMaskedPixels) {
  auto view = MakeView(20, 10, pxBGR24);
  TPXBitmap& img = *view->bitmap;
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 20; ++x) std::memset(img.Scanline(y) + 3 * x, x < 10 ? 50 : 200, 3);
  view->Select(1, [](int32_t x, int32_t y) -> uint8_t { return x >= 5 && x < 15 && y >= 2 && y < 8 ? 255 : 0; });
  for (bool transparentBefore : {false, true}) {
    SCOPED_TRACE(transparentBefore);
    img.RemoveAlphaChannel();
    // Column 12 is transparent already, inside the selection and out of the colour range.
    if (transparentBefore)
      for (int32_t y = 0; y < 10; ++y) img.SetAlpha(12, y, 0);
    TPixoranProc proc;
    proc.SetAttachedPixoran(view.get());
    proc.SetTransparentColors(TBGR{40, 40, 40}, TBGR{60, 60, 60}, 7);
    ASSERT_TRUE(img.HasAlphaChannel());
    for (int32_t y = 0; y < 10; ++y)
      for (int32_t x = 0; x < 20; ++x) {
        const int32_t expect = (x >= 5 && x < 10 && y >= 2 && y < 8) ? 7 : (transparentBefore && x == 12) ? 0 : 255;
        EXPECT_EQ(img.GetAlpha(x, y), expect) << x << "," << y;
      }
    EXPECT_FALSE(img.GetAlphaChannel()->Full);
  }
}

TEST(ProcSelection, AMaskReachingPastTheImageIsCutToIt) {
  auto view = MakeView(10, 8, pxBGR24, true);
  view->bitmap->GetAlphaChannel()->SetByte(6, 6, 0);
  auto before = MakeBitmap(10, 8, pxBGR24);
  before->Assign(view->bitmap.get());
  // A mask from a larger image, selecting 5..15 x 4..11.
  view->mask.Allocate(20, 16, 1);
  for (int32_t y = 4; y <= 11; ++y) view->mask.FillSpan(1, 5, y, 15);
  view->mask.SyncBox();
  view->selected = true;
  TPixoranProc proc;
  proc.SetAttachedPixoran(view.get());
  proc.Negative();
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 10; ++x) {
      const bool in = x >= 5 && y >= 4;
      EXPECT_EQ(view->bitmap->Scanline(y)[3 * x], in ? 255 - before->Scanline(y)[3 * x] : before->Scanline(y)[3 * x])
          << x << "," << y;
    }
  EXPECT_EQ(view->bitmap->GetAlpha(6, 6), 0);
}

TEST(ProcSelection, GetSelectionGivesTheMaskBoxOnlyWithASelection) {
  auto view = MakeView(30, 20, pxBGR24);
  view->points = {{3, 4}, {10, 4}, {10, 9}};
  TPixoranProc proc;
  TPXSelectionInfo sel;
  EXPECT_FALSE(proc.GetSelection(sel));  // own empty bitmap
  proc.SetAttachedPixoran(view.get());
  EXPECT_FALSE(proc.GetSelection(sel));
  EXPECT_EQ(sel.X2, 30);
  EXPECT_EQ(sel.Y2, 20);
  view->Select(1, [](int32_t x, int32_t y) -> uint8_t { return x >= 3 && x <= 10 && y >= 4 && y <= 9; });
  ASSERT_TRUE(proc.GetSelection(sel));
  EXPECT_EQ(sel.Mask, &view->mask);
  EXPECT_EQ(sel.X1, 3);
  EXPECT_EQ(sel.Y1, 4);
  EXPECT_EQ(sel.X2, 11);
  EXPECT_EQ(sel.Y2, 10);
  EXPECT_EQ(sel.PointCount, 3);
}

// ------------------------------------------------------------ undo and redo

TEST(ProcUndo, ListsKeepTheNewestEntriesWithTheirCaptions) {
  for (int32_t limit : {1, 3}) {
    SCOPED_TRACE(limit);
    auto img = MakeBitmap(9, 7, pxBGR24);
    FillRandom(*img, 5);
    TPixoranProc proc;
    proc.AttachBitmap(img.get());
    proc.SetUndoLimit(limit);
    std::vector<std::vector<uint8_t>> states{Snapshot(*img)};
    const char* names[] = {"a", "b", "c", "d", "e"};
    for (const char* name : names) {
      ASSERT_TRUE(proc.SaveUndoCaptioned(name, pxusImage));
      proc.Negative();  // AutoUndo adds "Negative" after each caption
      states.push_back(Snapshot(*img));
    }
    ASSERT_EQ(proc.UndoCount(), limit);
    ASSERT_EQ(proc.UndoCaptions().size(), size_t(limit));
    // Newest last: the entries are the states before each of the last negatives.
    for (int32_t n = 0; n < limit; ++n) {
      EXPECT_EQ(proc.UndoCaptions()[size_t(limit - 1 - n)], limit == 1 || n % 2 == 0 ? "Negative" : names[4 - n / 2]);
      proc.UndoAt(n);
      EXPECT_EQ(Snapshot(*img), states[size_t(4 - n / 2)]) << n;
    }
    // Entries stay: undoing twice restores the same image twice.
    proc.Undo();
    proc.Undo();
    EXPECT_EQ(Snapshot(*img), states[4]);
    EXPECT_EQ(proc.UndoCount(), limit);

    // Out-of-range indices do nothing.
    FillRandom(*img, 77);
    const auto now = Snapshot(*img);
    proc.UndoAt(-1);
    proc.UndoAt(limit);
    proc.RedoAt(0);
    EXPECT_EQ(Snapshot(*img), now);
  }
}

// A failed work copy changes nothing and leaves no undo entry: with the
// default limit of 1 such an entry would push out the user's last real one.
// The child process gets a data limit that leaves no room for the copy of
// the selection's box (the undo copies go to a temporary file). The
// sanitizers reserve memory their own way, so they skip it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PX_WORK_COPY_LIMIT_TEST 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PX_WORK_COPY_LIMIT_TEST 0
#endif
#endif
#ifndef PX_WORK_COPY_LIMIT_TEST
#define PX_WORK_COPY_LIMIT_TEST 1
#endif

#if PX_WORK_COPY_LIMIT_TEST
uint64_t Fingerprint(TPXBitmap& b) {
  uint64_t h = 1469598103934665603ull;
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* p = b.Scanline(y);
    for (int64_t i = 0; i < testing::PixelBytes(b); ++i) h = (h ^ p[i]) * 1099511628211ull;
  }
  return h;
}

void WorkCopyUnderADataLimit() {
  std::string wrong;
  auto check = [&](bool ok, const char* what) {
    if (!ok) wrong += std::string(what) + "\n";
  };
  auto view = MakeView(3000, 2000, pxBGR24);  // 18 MB in memory
  view->Select(1, [](int32_t x, int32_t y) -> uint8_t { return x >= 5 && y >= 5 && x < 2995 && y < 1995; });
  TPixoranProc proc;
  proc.SetAttachedPixoran(view.get());
  const uint64_t original = Fingerprint(*view->bitmap);
  proc.Negative();  // the user's change, with its undo entry
  check(!proc.Aborting() && proc.UndoCount() == 1, "first change");
  const uint64_t changed = Fingerprint(*view->bitmap);
  long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld %ld %ld %ld %ld", &size, &resident, &shared, &text, &lib, &data) != 6) data = 0;
    std::fclose(f);
  }
  rlimit saved{};
  getrlimit(RLIMIT_DATA, &saved);
  rlimit limited = saved;
  limited.rlim_cur = static_cast<rlim_t>(data) * 4096 + (8u << 20);
  check(data > 0 && setrlimit(RLIMIT_DATA, &limited) == 0, "setrlimit");
  proc.ConvertToGray();  // its work copy cannot be had
  const bool aborting = proc.Aborting();
  setrlimit(RLIMIT_DATA, &saved);
  check(aborting, "Aborting not set");
  check(Fingerprint(*view->bitmap) == changed, "image changed");
  check(proc.UndoCaptions() == std::vector<std::string>{"Negative"}, "undo entry of the failed operation");
  proc.Undo();
  check(Fingerprint(*view->bitmap) == original, "the last real undo is lost");
  proc.ConvertToGray();
  check(!proc.Aborting(), "Aborting not cleared by the next operation");
  std::fputs(wrong.c_str(), stderr);
  std::exit(wrong.empty() ? 0 : 1);
}

TEST(ProcUndoDeathTest, AFailedWorkCopyLeavesTheLastUndoInPlace) {
  // A fresh child (a fork would copy the running application's threads).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(WorkCopyUnderADataLimit(), ::testing::ExitedWithCode(0), "");
}
#endif

TEST(ProcUndo, EntriesOfChangingShapesFormatsPalettesAndAlpha) {
  for (TPXLocation where : {pxInMemory, pxTempFile}) {
    SCOPED_TRACE(int(where));
    auto img = MakeBitmap(8, 6, pxPal8);
    TPixoranProc proc;
    proc.SetUndoLocation(where);
    proc.AttachBitmap(img.get());
    std::mt19937 rng(5);
    // Each step changes the image in one way, saves it, then scribbles over
    // it: the single entry must always give back the saved state.
    const std::vector<std::function<void()>> steps = {
        [&] {
          img->SetPaletteEntry(3, TBGR{1, 2, 3});
        },
        [&] {
          img->SetPaletteEntry(3, TBGR{4, 5, 6});
        },  // same shape: the old entry's storage is reused
        [&] { img->GetAlphaChannel()->SetByte(2, 2, 9); },
        [&] { img->GetAlphaChannel()->SetByte(2, 2, 10); },
        [&] { img->RemoveAlphaChannel(); },
        [&] { img->Allocate(9, 6, pxPal8); },
        [&] { img->Allocate(9, 6, pxGray8); },
        [&] { img->Allocate(9, 6, pxBGR24); },
        [&] { img->Allocate(3, 40, pxBGR24); },
    };
    for (size_t i = 0; i < steps.size(); ++i) {
      steps[i]();
      FillRandom(*img, static_cast<uint32_t>(rng()));
      const auto saved = Snapshot(*img);
      ASSERT_TRUE(proc.SaveUndo(pxusImage)) << i;
      FillRandom(*img, static_cast<uint32_t>(rng()));
      if (img->PaletteCount() > 0) img->SetPaletteEntry(0, TBGR{7, 7, 7});
      if (img->HasAlphaChannel()) img->GetAlphaChannel()->SetByte(0, 0, 1);
      proc.Undo();
      EXPECT_EQ(Snapshot(*img), saved) << i;
      EXPECT_EQ(proc.UndoCount(), 1);
    }
  }
}

TEST(ProcUndo, RedoListAndClearing) {
  auto img = MakeBitmap(4, 4, pxBGR24);
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.SetUndoLimit(0);
  EXPECT_EQ(proc.UndoLimit(), 1);
  proc.SetUndoLimit(3);
  std::vector<std::vector<uint8_t>> states;
  for (uint32_t i = 0; i < 3; ++i) {
    FillRandom(*img, i);
    states.push_back(Snapshot(*img));
    ASSERT_TRUE(proc.SaveRedoCaptioned("r" + std::to_string(i), pxusImage));
  }
  EXPECT_EQ(proc.RedoCaptions(), (std::vector<std::string>{"r0", "r1", "r2"}));
  proc.RedoAt(2);
  EXPECT_EQ(Snapshot(*img), states[0]);
  proc.Redo();
  EXPECT_EQ(Snapshot(*img), states[2]);
  proc.ClearLastRedo();
  EXPECT_EQ(proc.RedoCaptions(), (std::vector<std::string>{"r0", "r1"}));
  proc.Redo();
  EXPECT_EQ(Snapshot(*img), states[1]);
  proc.ClearRedo();
  EXPECT_EQ(proc.RedoCount(), 0);
  EXPECT_TRUE(proc.RedoCaptions().empty());
}

TEST(ProcUndo, BothLocationsGiveBackExactPixelsAndAlpha) {
  for (TPXLocation where : {pxInMemory, pxTempFile}) {
    for (TPXPixelFormat f : {pxBGR24, pxBW1, pxGray16}) {
      SCOPED_TRACE(::testing::Message() << "location " << int(where) << " format " << int(f));
      auto img = MakeBitmap(33, 17, f);
      FillRandom(*img, 3);
      TPXBitmap& a = *img->GetAlphaChannel();
      for (int32_t y = 0; y < 17; ++y)
        for (int32_t x = 0; x < 33; ++x) a.SetByte(x, y, static_cast<uint8_t>(x * y));
      const auto before = Snapshot(*img);
      TPixoranProc proc;
      proc.SetUndoLocation(where);
      proc.SetUndoLimit(2);
      proc.AttachBitmap(img.get());
      proc.SetTransparentColors(TBGR{0, 0, 0}, TBGR{128, 255, 255}, 0);
      const auto transparent = Snapshot(*img);
      proc.Negative();
      FillRandom(*img, 9);  // 16-bit grey is not changed by either: change it here
      proc.UndoAt(0);
      EXPECT_EQ(Snapshot(*img), transparent);
      proc.UndoAt(1);
      EXPECT_EQ(Snapshot(*img), before);
    }
  }
}

TEST(ProcUndo, CaptionsOnlyForEntriesThatWerePushed) {
  auto img = MakeBitmap(5, 5, px32f);
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.SetUndoLimit(4);
  ASSERT_TRUE(proc.SaveUndoCaptioned("first", pxusImage));
  // A platform bitmap cannot hold float pixels: the copy is refused.
  proc.SetUndoLocation(pxTBitmap);
  EXPECT_FALSE(proc.SaveUndoCaptioned("refused", pxusImage));
  // No viewer with a selection to save.
  EXPECT_FALSE(proc.SaveUndoCaptioned("no selection", pxusSelection));
  EXPECT_FALSE(proc.SaveUndoCaptioned("bad source", 7));
  EXPECT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaptions(), std::vector<std::string>{"first"});

  // A full list and a copy that is refused: the list stays as it was.
  auto colour = MakeBitmap(5, 5, pxBGR24);
  TPixoranProc full;
  full.SetUndoLocation(pxTBitmap);
  full.AttachBitmap(colour.get());
  ASSERT_TRUE(full.SaveUndoCaptioned("colour", pxusImage));
  full.AttachBitmap(img.get());
  EXPECT_FALSE(full.SaveUndoCaptioned("float", pxusImage));
  EXPECT_EQ(full.UndoCaptions(), std::vector<std::string>{"colour"});

  // Images narrower or lower than 2 pixels take no entry.
  auto thin = MakeBitmap(1, 9, pxBGR24);
  proc.AttachBitmap(thin.get());
  proc.SetUndoLocation(pxTempFile);
  proc.Negative();
  EXPECT_EQ(proc.UndoCount(), 1);
}

TEST(ProcUndo, SelectionEntriesRestoreTheViewersSelection) {
  auto view = MakeView(12, 8, pxBGR24);
  view->Select(8, [](int32_t x, int32_t y) -> uint8_t { return x < 4 ? 200 : 0; });
  TPixoranProc proc;
  proc.SetAttachedPixoran(view.get());
  proc.SetUndoLimit(2);
  ASSERT_TRUE(proc.SaveUndoCaptioned("sel", pxusSelection));
  view->Select(8, [](int32_t, int32_t) -> uint8_t { return 0; });
  EXPECT_FALSE(view->selected);
  proc.Undo();
  EXPECT_TRUE(view->selected);
  EXPECT_EQ(view->mask.GetPixel(3, 5), 200);
  EXPECT_EQ(view->mask.X2, 3);

  // Without a viewer the selection entry is skipped; the image is untouched.
  auto img = MakeBitmap(6, 6, pxBGR24);
  FillRandom(*img, 8);
  const auto before = Snapshot(*img);
  proc.AttachBitmap(img.get());
  proc.Undo();
  EXPECT_EQ(Snapshot(*img), before);
}

// ------------------------------------------------------------ attachment

TEST(ProcAttach, FollowsTheViewerAndLetsGoWhenItIsDestroyed) {
  auto view = MakeView(10, 10, pxBGR24);
  TPixoranProc proc;
  EXPECT_TRUE(proc.Owned());
  proc.SetAttachedPixoran(view.get());
  EXPECT_EQ(proc.Bitmap(), view->bitmap.get());
  EXPECT_FALSE(proc.Owned());
  EXPECT_EQ(view->BitmapChangeEventCount(), 1);

  // AttachBitmap(nullptr) with a viewer attached keeps everything.
  proc.AttachBitmap(nullptr);
  EXPECT_EQ(proc.AttachedPixoran(), view.get());
  EXPECT_EQ(view->BitmapChangeEventCount(), 1);

  // The background is the viewer's.
  proc.SetBackground(0x123456);
  EXPECT_EQ(view->Background(), TColor(0x123456));
  EXPECT_EQ(proc.Background(), TColor(0x123456));

  // The viewer's bitmap changes: the component follows.
  view->bitmap = MakeBitmap(3, 3, pxGray8);
  view->CallBitmapChangeEvents();
  EXPECT_EQ(proc.Bitmap(), view->bitmap.get());

  // Destroyed: the component is back on a bitmap of its own.
  view.reset();
  EXPECT_EQ(proc.AttachedPixoran(), nullptr);
  EXPECT_TRUE(proc.Owned());
  proc.Negative();  // nothing to work on, and nothing dangling
  proc.SetBackground(0x654321);
  EXPECT_EQ(proc.Background(), TColor(0x654321));
}

TEST(ProcAttach, ExternalBitmapAndRemovalNotice) {
  auto view = MakeView(4, 4, pxBGR24);
  auto own = MakeBitmap(4, 4, pxBGR24);
  {
    TPixoranProc proc;
    proc.SetAttachedPixoran(view.get());
    proc.AttachBitmap(own.get());
    EXPECT_EQ(proc.AttachedPixoran(), nullptr);
    EXPECT_EQ(view->BitmapChangeEventCount(), 0);
    EXPECT_EQ(proc.Bitmap(), own.get());
    proc.AttachBitmap(nullptr);
    EXPECT_TRUE(proc.Owned());
  }
  // A component that goes first leaves nothing behind in the viewer.
  {
    TPixoranProc proc;
    proc.SetAttachedPixoran(view.get());
  }
  EXPECT_EQ(view->BitmapChangeEventCount(), 0);
}

TEST(ProcAttach, ImageControlPictureIsWrappedAndDroppedWhenTheControlGoes) {
  auto image = std::make_unique<TImage>();
  image->Picture().SetPixelFormat(pf24bit);
  image->Picture().SetSize(5, 3);
  int modified = 0;
  image->Picture().OnChange = [&](TObject*) { ++modified; };
  auto view = MakeView(4, 4, pxBGR24);

  TPixoranProc proc;
  proc.SetAttachedPixoran(view.get());
  proc.SetAttachedTImage(image.get());
  EXPECT_EQ(proc.AttachedPixoran(), nullptr);
  EXPECT_EQ(view->BitmapChangeEventCount(), 0);
  EXPECT_EQ(proc.AttachedTImage(), image.get());
  EXPECT_EQ(proc.WrappedTBitmap(), &image->Picture());
  // The operation works on the picture itself, which is marked modified.
  proc.Negative();
  EXPECT_EQ(image->Picture().ScanLine(2)[14], 255);
  EXPECT_EQ(modified, 1);
  EXPECT_EQ(view->updates, 0);
  proc.Undo();
  EXPECT_EQ(image->Picture().ScanLine(2)[14], 0);

  // nullptr with no control attached leaves a viewer alone.
  proc.SetAttachedPixoran(view.get());
  proc.SetAttachedTImage(nullptr);
  EXPECT_EQ(proc.AttachedPixoran(), view.get());
  EXPECT_EQ(proc.Bitmap(), view->bitmap.get());

  // The control goes: the component is back on a bitmap of its own.
  proc.SetAttachedTImage(image.get());
  image->Picture().OnChange = nullptr;
  image.reset();
  EXPECT_EQ(proc.AttachedTImage(), nullptr);
  EXPECT_TRUE(proc.Owned());
  EXPECT_EQ(proc.WrappedTBitmap(), nullptr);
  proc.Negative();

  // And a component that goes first is not told about the control later.
  image = std::make_unique<TImage>();
  {
    TPixoranProc other;
    other.SetAttachedTImage(image.get());
  }
  image.reset();
}

TEST(ProcAttach, NoViewerLetsGoOfAnImageControlToo) {
  TImage image;
  image.Picture().SetPixelFormat(pf24bit);
  image.Picture().SetSize(5, 3);
  int modified = 0;
  image.Picture().OnChange = [&](TObject*) { ++modified; };
  TPixoranProc proc;
  proc.SetAttachedTImage(&image);
  proc.SetAttachedPixoran(nullptr);
  EXPECT_EQ(proc.AttachedTImage(), nullptr);
  EXPECT_TRUE(proc.Owned());
  EXPECT_EQ(proc.WrappedTBitmap(), nullptr);
  proc.Bitmap()->Allocate(4, 4, pxBGR24);
  proc.Negative();  // on the component's own bitmap: the picture is not marked
  EXPECT_EQ(modified, 0);
  image.Picture().OnChange = nullptr;
}

TEST(ProcAttach, WrappedPlatformBitmapIsRewrappedAndLosesAlpha) {
  struct PlatformView : TPXView {
    TBitmap tb;
    TBitmap* GetTBitmap() override { return &tb; }
  } view;
  view.tb.SetPixelFormat(pf24bit);
  view.tb.SetSize(6, 4);
  TPixoranProc proc;
  proc.SetAttachedPixoran(&view);
  ASSERT_EQ(proc.WrappedTBitmap(), &view.tb);
  ASSERT_TRUE(proc.Owned());
  view.tb.SetSize(8, 5);  // changed behind the component's back
  ASSERT_TRUE(proc.CheckBitmap(PXFormatSet(pxBGR24)));
  EXPECT_EQ(proc.Bitmap()->Width(), 8);
  proc.SetTransparentColors(TBGR{}, TBGR{255, 255, 255}, 0);
  EXPECT_FALSE(proc.Bitmap()->HasAlphaChannel());
  EXPECT_EQ(proc.UndoCount(), 1);
}

// ------------------------------------------------------------ progress

TEST(ProcProgress, RowsOfTheRectangleEndAboveAHundred) {
  auto view = MakeView(30, 20, pxBGR24);
  view->Select(1, [](int32_t x, int32_t y) -> uint8_t { return y >= 5 && y < 15 && x > 2; });
  TPixoranProc proc;
  proc.SetAttachedPixoran(view.get());
  std::vector<int> seen;
  proc.OnProgress = [&](TObject* sender, int p) {
    EXPECT_EQ(sender, &proc);
    seen.push_back(p);
  };
  proc.Negative();
  // Trunc(done * 100 / 9.5) after each of the 10 rows.
  EXPECT_EQ(seen, (std::vector<int>{10, 21, 31, 42, 52, 63, 73, 84, 94, 105}));
}

}  // namespace
}  // namespace pixoran
