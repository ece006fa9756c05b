// Row bands on the pool: the band helper's rules (every row once, progress
// in order on the caller's thread, nesting, stops and errors, callers on
// several threads at once), and the operations that use it giving the same
// bytes at every thread count, in memory and in temporary files.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/kopxutils.h"
#include "core/pxblend.h"
#include "core/pxpool.h"
#include "core/pxrender.h"
#include "testsupport.h"
#include "thread_support.h"

using namespace pixoran;
using pixoran::testing::FillNoise;
using pixoran::testing::kThreadCounts;
using pixoran::testing::ThreadScope;

namespace {

std::unique_ptr<TPXBitmap> MakeNoise(int32_t w, int32_t h, TPXPixelFormat f, uint32_t seed) {
  auto b = std::make_unique<TPXBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, f));
  if (f == pxPal8)
    for (int i = 0; i < 256; ++i)
      b->SetPaletteEntry(i, TBGR{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)});
  FillNoise(*b, seed);
  return b;
}

std::string Bytes(TPXBitmap& b) { return pixoran::testing::BitmapBytes(b); }

TEST(RowBandsThread, EveryRowOnceProgressInOrderOnTheCaller) {
  for (int32_t threads : kThreadCounts) {
    ThreadScope scope(threads);
    for (int32_t rows : {1, 7, 333, 2049}) {
      std::vector<std::atomic<int>> hits(static_cast<size_t>(rows));
      std::vector<int32_t> told;
      const auto caller = std::this_thread::get_id();
      bool offThread = false;
      const bool all = PXParallelRows(
          rows, 4001,
          [&](int32_t first, int32_t last) {
            for (int32_t y = first; y < last; ++y) hits[static_cast<size_t>(y)]++;
          },
          false,
          [&](int32_t first, int32_t last) {
            offThread = offThread || std::this_thread::get_id() != caller;
            for (int32_t y = first; y < last; ++y) told.push_back(y);
            return true;
          });
      EXPECT_TRUE(all);
      EXPECT_FALSE(offThread) << threads;
      for (int32_t y = 0; y < rows; ++y) {
        EXPECT_EQ(hits[static_cast<size_t>(y)].load(), 1) << "row " << y << " threads " << threads;
        ASSERT_EQ(told[static_cast<size_t>(y)], y) << threads;
      }
      EXPECT_EQ(told.size(), static_cast<size_t>(rows));
    }
  }
}

TEST(RowBandsThread, StopsErrorsAndNesting) {
  ThreadScope scope(8);
  // A handler that says stop: no band begins after it, and no row is told.
  // The lower half's bands wait (a while at most) for the stop on pool
  // threads, so they cannot all be done before it. The caller never waits:
  // it tells the rows, and a slow machine must not keep it from the stop.
  std::atomic<int32_t> worked{0};
  std::atomic<bool> stopSaid{false};
  int32_t told = 0;
  const auto caller = std::this_thread::get_id();
  const bool all = PXParallelRows(
      4000, 5000,
      [&](int32_t first, int32_t last) {
        const bool pool = std::this_thread::get_id() != caller;
        for (int i = 0; i < 2000 && pool && first >= 2000 && !stopSaid.load(); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        worked += last - first;
      },
      false,
      [&](int32_t first, int32_t last) {
        told += last - first;
        if (told >= 100) stopSaid = true;
        return told < 100;
      });
  EXPECT_FALSE(all);
  EXPECT_LT(worked.load(), 4000);
  EXPECT_GE(told, 100);
  EXPECT_LT(told, 4000);

  // An error in one band reaches the caller after the running bands end.
  // (With every pool thread still busy the rows run as one range.)
  EXPECT_THROW(PXParallelRows(4000, 5000,
                              [&](int32_t, int32_t last) {
                                if (last > 1000) throw std::runtime_error("band failed");
                              }),
               std::runtime_error);

  // A band that runs bands of its own works them itself, without waiting
  // for threads its caller holds.
  std::atomic<int64_t> inner{0};
  PXParallelRows(64, 100000, [&](int32_t first, int32_t last) {
    for (int32_t y = first; y < last; ++y) PXParallelRows(100, 100000, [&](int32_t a, int32_t b) { inner += b - a; });
  });
  EXPECT_EQ(inner.load(), 6400);
}

TEST(RowBandsThread, CallersOnSeveralThreadsShareThePool) {
  ThreadScope scope(3);
  std::atomic<int64_t> total{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 6; ++c)
    callers.emplace_back([&] {
      for (int k = 0; k < 20; ++k)
        PXParallelRows(500, 20000, [&](int32_t first, int32_t last) { total += last - first; });
    });
  for (auto& t : callers) t.join();
  EXPECT_EQ(total.load(), 6 * 20 * 500);
}

// Every conversion that is not refused, at every thread count, on an odd
// size, in memory and in temporary files: the same bytes as one thread.
TEST(ConversionThread, SameBytesAtEveryThreadCount) {
  pixoran::testing::TempFolderScope folder(pixoran::testing::MakeTempDir("thread-convert"));
  const TPXPixelFormat formats[] = {pxBW1, pxPal8, pxGray8, pxGray16, pxBGR24, px32f, pxCMYK};
  for (bool files : {false, true}) {
    for (TPXPixelFormat from : formats) {
      for (TPXPixelFormat to : formats) {
        if (from == to) continue;
        if ((from == pxCMYK) != (to == pxCMYK) && !(from == pxBGR24 || to == pxBGR24)) continue;
        // The quantizer's palette is slow to build: a smaller picture, still
        // of two bands.
        const int32_t w = to == pxPal8 && from == pxBGR24 ? 263 : 613, h = to == pxPal8 && from == pxBGR24 ? 131 : 389;
        for (uint8_t bw : {uint8_t{0}, uint8_t{1}}) {
          if (bw == 0 && to != pxBW1) continue;
          std::string reference;
          for (int32_t threads : kThreadCounts) {
            ThreadScope scope(threads, files);
            auto b = MakeNoise(w, h, from, 99);
            b->BWConversion = bw;
            EXPECT_EQ(b->Location() == pxTempFile, files);
            b->SetPixelFormat(to);
            const std::string got = Bytes(*b);
            if (threads == 1) reference = got;
            else
              EXPECT_TRUE(got == reference) << from << " -> " << to << " bw " << int{bw} << " threads " << threads
                                            << (files ? " file" : " memory");
          }
        }
      }
    }
  }
}

// Whole copies, 16-bit rows copied to 8, and rectangles: the same bytes at
// every thread count, in memory, in temporary files and between the two.
TEST(CopyThread, SameBytesAtEveryThreadCount) {
  pixoran::testing::TempFolderScope folder(pixoran::testing::MakeTempDir("thread-copy"));
  for (int files = 0; files < 3; ++files) {
    for (TPXPixelFormat f : {pxBW1, pxGray16, pxBGR24}) {
      std::string reference;
      for (int32_t threads : kThreadCounts) {
        ThreadScope scope(threads, files == 1);
        auto src = MakeNoise(1001, 67, f, 5);
        {
          ThreadScope destScope(threads, files == 2);  // files 2: the copies in files, the source in memory
          TPXBitmap whole, high, rect;
          whole.Assign(src.get());
          high.Allocate(1001, 67, pxGray8);
          if (f == pxGray16) high.CopyPixelsFrom(*src);
          rect.Allocate(700, 50, f);
          src->CopyRectTo(rect, 13, 9, 5, 3, 1000, 1000);
          const std::string got = Bytes(whole) + Bytes(high) + Bytes(rect);
          EXPECT_EQ(Bytes(whole), Bytes(*src));
          if (threads == 1) reference = got;
          else EXPECT_TRUE(got == reference) << f << " threads " << threads << " files " << files;
        }
      }
    }
  }
}

// The dither and threshold reductions with a progress handler: the same
// bytes, and the same values reported in the same order, on the caller.
TEST(ConversionThread, OneBitReductionsReportEveryRow) {
  for (bool ordered : {false, true}) {
    std::string reference;
    std::vector<int> referenceTold;
    for (int32_t threads : kThreadCounts) {
      ThreadScope scope(threads);
      auto b = MakeNoise(1001, 257, pxBGR24, 7);
      pixoran::testing::TProgressLog log;
      std::vector<int>& told = log.Told;
      if (ordered) ConvertToBWOrdered(*b, log.Rec());
      else ConvertToBWThreshold(*b, -1, log.Rec());
      EXPECT_FALSE(log.OffThread);
      if (threads == 1) {
        reference = Bytes(*b);
        referenceTold = told;
        EXPECT_EQ(told.size(), 257u);
      } else {
        EXPECT_TRUE(Bytes(*b) == reference) << threads;
        EXPECT_EQ(told, referenceTold) << threads;
      }
    }
  }
}

struct RenderCase {
  const char* name;
  TPXPixelFormat format;
  TPXRenderRect rect;
  uint8_t mode, opacity;
  bool alpha, clip, rowCopy, adjust;
};

// Rendering and blending of a layer at every thread count: zoomed in and
// out, translucent, through an alpha channel, in a clip rectangle, in every
// blend mode, with a source and destination in memory or temporary files.
TEST(RenderThread, SameBytesAtEveryThreadCount) {
  pixoran::testing::TempFolderScope folder(pixoran::testing::MakeTempDir("thread-render"));
  std::vector<RenderCase> cases = {
      {"copy 1:1", pxBGR24, {0, 0, 613, 389, 0, 0, 613, 389}, 0, 255, false, false, false, false},
      {"zoom in, row copy", pxBGR24, {10, 5, 300, 190, -3, 2, 700, 501}, 0, 255, false, false, true, false},
      {"zoom out, clip", pxBGR24, {0, 0, 613, 389, 1, 1, 301, 193}, 0, 255, false, true, false, false},
      {"translucent alpha", pxBGR24, {0, 0, 613, 389, 0, 0, 613, 389}, 0, 140, true, true, false, true},
      {"gray8 zoomed alpha", pxGray8, {3, 3, 500, 300, 0, 0, 611, 387}, 0, 200, true, false, true, false},
      {"gray16", pxGray16, {0, 0, 613, 389, 0, 0, 613, 389}, 0, 255, false, true, false, false},
      {"pal8", pxPal8, {0, 0, 613, 389, 5, 5, 600, 380}, 0, 90, false, false, false, false},
      {"bw1", pxBW1, {0, 0, 613, 389, 0, 0, 613, 389}, 0, 255, false, false, true, false},
      {"32f", px32f, {0, 0, 613, 389, 0, 0, 613, 389}, 0, 255, false, false, false, false},
      {"cmyk", pxCMYK, {0, 0, 613, 389, 0, 0, 613, 389}, 0, 255, true, false, false, false},
  };
  for (uint8_t m = 1; m < kPXBlendModeCount; ++m)
    cases.push_back({"blend",
                     pxBGR24,
                     {0, 0, 613, 389, 0, 0, 613, 389},
                     m,
                     m % 2 ? uint8_t{255} : uint8_t{170},
                     m % 3 == 0,
                     m % 4 == 0,
                     false,
                     m % 5 == 0});
  enum { kMemory, kFiles, kPlatform };
  for (int where : {kMemory, kFiles, kPlatform}) {
    const bool files = where == kFiles;
    for (const RenderCase& c : cases) {
      // Platform bitmaps hold 1, 8 and 24 bits only.
      if (where == kPlatform && c.format != pxBGR24 && c.format != pxBW1) continue;
      std::string reference;
      for (int32_t threads : kThreadCounts) {
        ThreadScope scope(threads, files);
        auto src = MakeNoise(613, 389, c.format, 5);
        auto dest = MakeNoise(611, 387, pxBGR24, 6);
        if (where == kPlatform) {
          src->SetLocation(pxTBitmap);
          dest->SetLocation(pxTBitmap);
        }
        if (c.alpha) FillNoise(*src->GetAlphaChannel(), 8);
        if (c.adjust) {
          src->ColorAdjust = true;
          src->RedOffset = 20;
          src->BlueOffset = -30;
          src->Contrast = 4;
        }
        if (c.format == pxGray16) src->GrayMin = 1000, src->GrayMax = 50000;
        const TRect clip{37, 21, 555, 301};
        TPXRenderOptions o;
        o.BlendMode = c.mode;
        o.Opacity = c.opacity;
        o.UseAlpha = c.alpha;
        o.RowCopy = c.rowCopy;
        o.Clip = c.clip ? &clip : nullptr;
        RenderToBitmap(*src, *dest, c.rect, o);
        const std::string got = Bytes(*dest);
        if (threads == 1) reference = got;
        else
          EXPECT_TRUE(got == reference) << c.name << " mode " << int{c.mode} << " threads " << threads << " storage "
                                        << where;
      }
    }
  }
}

}  // namespace
