// The resampler on the row-band pool: every filter and routine gives the
// same bytes and the same progress values at every thread count, with rows
// in memory, in temporary files, or the source in one and the result in the
// other.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/kopxutils.h"
#include "core/pxresample.h"
#include "testsupport.h"
#include "thread_support.h"

using namespace pixoran;
using pixoran::testing::FillNoise;
using pixoran::testing::kThreadCounts;
using pixoran::testing::ThreadScope;

namespace {

// The thread count, and whether new bitmaps (alpha channels included) keep
std::string Bytes(TPXBitmap& b) { return pixoran::testing::BitmapBytes(b); }

struct SizeCase {
  const char* name;
  int32_t sw, sh, dw, dh;
};

TEST(ResampleThread, EveryFilterSameBytesAtEveryThreadCount) {
  pixoran::testing::TempFolderScope folder(pixoran::testing::MakeTempDir("thread-resample"));
  constexpr TResampleFilter kFilters[] = {rfNone,     rfTriangle, rfHermite, rfBell,       rfBSpline,  rfLanczos3,
                                          rfMitchell, rfNearest,  rfLinear,  rfFastLinear, rfBilinear, rfBicubic};
  // Odd sizes, each large enough for several bands of the pool's least size.
  const SizeCase sizes[] = {{"reduce", 401, 263, 103, 67},
                            {"enlarge", 61, 43, 297, 181},
                            {"same width", 171, 229, 171, 113},
                            {"same size", 173, 131, 173, 131}};
  struct FormatCase {
    TPXPixelFormat format;
    bool alpha;
  };
  const FormatCase formats[] = {{pxBGR24, true}, {pxBGR24, false},  {pxGray8, true}, {pxBW1, false},
                                {pxPal8, false}, {pxGray16, false}, {px32f, false},  {pxCMYK, true}};
  enum { kMemory, kFiles, kMemoryIntoFile, kFileIntoMemory };
  for (int storage : {kMemory, kFiles, kMemoryIntoFile, kFileIntoMemory}) {
    for (const SizeCase& size : sizes) {
      for (const FormatCase& fc : formats) {
        // The same-size cases only where an unchanged size has a path of its
        // own; temporary files (worked on one thread) with the formats whose
        // routines differ.
        if (size.sw == size.dw && size.sh == size.dh && fc.format != pxBW1 && fc.format != pxBGR24) continue;
        if (storage != kMemory && (fc.format == pxPal8 || fc.format == pxGray16 || fc.format == px32f)) continue;
        if (storage != kMemory && !fc.alpha && fc.format == pxBGR24) continue;
        if (storage != kMemory && size.sw == size.dw) continue;
        for (TResampleFilter filter : kFilters) {
          std::string reference;
          std::vector<int> referenceTold;
          for (int32_t threads : kThreadCounts) {
            if (storage != kMemory && threads != 1 && threads != 8) continue;
            ThreadScope scope(threads, storage == kFiles || storage == kFileIntoMemory);
            auto src = std::make_unique<TPXBitmap>();
            ASSERT_TRUE(src->Allocate(size.sw, size.sh, fc.format));
            if (fc.format == pxPal8)
              for (int i = 0; i < 256; ++i)
                src->SetPaletteEntry(
                    i, TBGR{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)});
            FillNoise(*src, 11);
            if (fc.alpha) {
              // Transparent pixels here and there: they are read as grey.
              TPXBitmap& a = *src->GetAlphaChannel();
              FillNoise(a, 12);
              for (int32_t y = 0; y < size.sh; ++y) {
                uint8_t* r = a.Scanline(y);
                for (int32_t x = 0; x < size.sw; ++x)
                  if (r[x] < 50) r[x] = 0;
              }
              a.Full = false;
            }
            TPXBitmap dest;
            if (storage == kMemoryIntoFile) dest.MemoryThreshold = 0;
            if (storage == kFileIntoMemory) dest.MemoryThreshold = std::numeric_limits<int64_t>::max();
            ASSERT_TRUE(dest.Allocate(size.dw, size.dh, pxBGR24));
            const bool files = storage == kFiles || storage == kFileIntoMemory;
            ASSERT_EQ(src->Location(), files ? pxTempFile : pxInMemory);

            pixoran::testing::TProgressLog log;
            const std::vector<int>& told = log.Told;
            ASSERT_TRUE(ResampleBitmap(*src, dest, filter, log.Rec()));
            EXPECT_EQ(dest.Location(), storage == kFiles || storage == kMemoryIntoFile ? pxTempFile : pxInMemory);
            EXPECT_FALSE(log.OffThread);
            const std::string got = Bytes(dest);
            const std::string what = std::string(size.name) + " format " + std::to_string(fc.format) + " filter " +
                                     std::to_string(filter) + " storage " + std::to_string(storage) + " threads " +
                                     std::to_string(threads);
            if (threads == 1) {
              reference = got;
              referenceTold = told;
              // The routines that report progress report a value per row (1-bit
              // filtering and the unchanged size's copy report none).
              const bool copies = filter == rfFastLinear && size.sw == size.dw && size.sh == size.dh;
              if ((filter == rfNone || fc.format != pxBW1) && !copies) {
                EXPECT_GE(told.size(), static_cast<size_t>(size.dh)) << what;
              }
            } else {
              EXPECT_TRUE(got == reference) << what;
              EXPECT_EQ(told, referenceTold) << what;
            }
          }
        }
      }
    }
  }
}

// The routines behind the filters called directly: the 1-bit reducer over a
// part of the source, and the 8-bit paths of alpha channels.
TEST(ResampleThread, DirectRoutinesSameBytesAtEveryThreadCount) {
  for (bool files : {false, true}) {
    std::string reference[4];
    for (int32_t threads : kThreadCounts) {
      ThreadScope scope(threads, files);
      TPXBitmap bw, grey;
      ASSERT_TRUE(bw.Allocate(1201, 803, pxBW1));
      ASSERT_TRUE(grey.Allocate(877, 611, pxGray8));
      FillNoise(bw, 3);
      FillNoise(grey, 4);
      TPXBitmap a, b, c, d;
      ASSERT_TRUE(a.Allocate(301, 199, pxBGR24));
      ShrinkBW1ToGray24(bw, 17, 9, 1100, 700, a);
      ASSERT_TRUE(b.Allocate(1500, 900, pxBGR24));
      ResampleFastLinearBW1(bw, b);
      ASSERT_TRUE(c.Allocate(311, 1207, pxGray8));
      ResampleGray8Filtered(grey, c, rfMitchell);
      ASSERT_TRUE(d.Allocate(1301, 211, pxGray8));
      ResampleFastLinear8(grey, d);
      TPXBitmap* results[] = {&a, &b, &c, &d};
      for (int i = 0; i < 4; ++i) {
        const std::string got = Bytes(*results[i]);
        if (threads == 1) reference[i] = got;
        else EXPECT_TRUE(got == reference[i]) << "routine " << i << " threads " << threads << " files " << files;
      }
    }
  }
}

}  // namespace
