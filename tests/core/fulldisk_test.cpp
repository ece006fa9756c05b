// The image store on a full disk: an image whose rows cannot be written to
// the store file is reported, never raised, and never read back as the
// image that was stored.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "../fulldisk_inject.h"
#include "core/kopxutils_diblist.h"
#include "core/pxresample.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

void Fill(TPXBitmap& b, uint8_t seed) {
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < b.Width() * 3; ++x) row[x] = static_cast<uint8_t>(x * 7 + y * 13 + seed);
  }
}

bool SamePixels(TPXBitmap& a, TPXBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int32_t y = 0; y < a.Height(); ++y) {
    const std::vector<uint8_t> ra(a.Scanline(y), a.Scanline(y) + a.Width() * 3);
    if (std::memcmp(ra.data(), b.Scanline(y), ra.size()) != 0) return false;
  }
  return true;
}

TEST(StoreFullDisk, FailedWritesAreReportedNotRaised) {
  TPXVirtualDIBList store;
  store.SetMaxMapped(1);
  TPXBitmap kept, lost;
  ASSERT_TRUE(kept.Allocate(300, 200, pxBGR24));
  ASSERT_TRUE(lost.Allocate(300, 200, pxBGR24));
  Fill(kept, 1);
  Fill(lost, 2);
  TPXVirtualDIBImage* first = store.AddImage(kept);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(store.UnmapAll());

  TPXVirtualDIBImage* second = nullptr;
  bool unmapped = true, rewritten = true;
  {
    TFullDiskScope full;
    EXPECT_NO_THROW({
      second = store.AddImage(lost);
      unmapped = store.UnmapAll();
    });
    // Rewriting the stored image in place fails the same way.
    EXPECT_NO_THROW({ rewritten = store.BitmapToImage(first, lost) && store.UnmapAll(); });
  }
  EXPECT_FALSE(second != nullptr && unmapped) << "a new image's lost rows went unreported";
  EXPECT_FALSE(rewritten) << "a rewrite's lost rows went unreported";

  // The store goes on working once there is room again.
  TPXBitmap back;
  TPXVirtualDIBImage* third = store.AddImage(kept);
  ASSERT_NE(third, nullptr);
  ASSERT_TRUE(store.UnmapAll());
  ASSERT_TRUE(store.ImageToBitmap(third, back));
  EXPECT_TRUE(SamePixels(back, kept));
}

}  // namespace
}  // namespace pixoran

// ------------------------------------------------------------ the resampler under failing storage

namespace pixoran {
namespace {

using namespace pixoran::testing;

// A source with an alpha channel and a destination that already holds a
// picture, both in temporary files or in memory.
struct TResampleRun {
  TPXBitmap Source, Dest;
  explicit TResampleRun(bool inFiles, TPXPixelFormat format) {
    for (TPXBitmap* b : {&Source, &Dest}) b->MemoryThreshold = inFiles ? 0 : int64_t{1} << 40;
    Source.Allocate(40, 30, format);
    for (int32_t y = 0; y < 30; ++y) {
      uint8_t* row = Source.Scanline(y);
      for (int32_t x = 0; x < Source.RowLen(); ++x) row[x] = static_cast<uint8_t>(x * 7 + y * 13);
    }
    TPXBitmap& a = *Source.GetAlphaChannel();
    for (int32_t y = 0; y < 30; ++y)
      for (int32_t x = 0; x < 40; ++x) a.SetByte(x, y, static_cast<uint8_t>((x + y) % 3 * 127));
    Dest.Allocate(25, 18, format);
    Dest.Fill(format == pxBGR24 ? 0x336699 : 99);
    Source.FlushRows();
    Dest.FlushRows();
  }
};

// Each failing write or allocation of ResampleBitmap in turn: it reports the
// failure and leaves the destination as it was, or gives what a run without
// failure gives.
TEST(ResampleFullDisk, AFailedWriteOrAllocationLeavesTheDestinationAsItWas) {
  long points[2] = {0, 0};
  for (bool inFiles : {false, true})
    for (TPXPixelFormat format : {pxBGR24, pxGray8, pxBW1})
      for (TResampleFilter filter : {rfNone, rfTriangle, rfLanczos3, rfFastLinear, rfBilinear, rfBicubic})
        for (int kind = 0; kind < 2; ++kind) {
          if (kind == 0 && !inFiles) continue;  // memory is never written to a disk
          SCOPED_TRACE(::testing::Message()
                       << "format " << int(format) << " filter " << int(filter)
                       << (inFiles ? " in files" : " in memory") << (kind ? " allocation" : " write"));
          std::vector<uint8_t> reference;
          {
            TResampleRun r(inFiles, format);
            ASSERT_TRUE(ResampleBitmap(r.Source, r.Dest, filter));
            reference = BitmapContent(r.Dest);
          }
          for (long n = 1;; ++n) {
            ASSERT_LT(n, 2000);
            TResampleRun r(inFiles, format);
            const std::vector<uint8_t> before = BitmapContent(r.Dest), source = BitmapContent(r.Source);
            bool ok = false, fired = false;
            if (kind == 0) {
              TFailNthWrite fault(n);
              EXPECT_NO_THROW(ok = ResampleBitmap(r.Source, r.Dest, filter));
              fired = fault.Failed();
            } else {
              PXArmAllocationFault(n);
              EXPECT_NO_THROW(ok = ResampleBitmap(r.Source, r.Dest, filter));
              fired = PXAllocationFaultFired();
              PXArmAllocationFault(0);
            }
            EXPECT_TRUE(BitmapContent(r.Source) == source) << "at " << n;
            if (!fired) {
              EXPECT_TRUE(ok);
              EXPECT_TRUE(BitmapContent(r.Dest) == reference);
              points[kind] += n - 1;
              break;
            }
            if (ok) EXPECT_TRUE(BitmapContent(r.Dest) == reference) << "a failure went unreported at " << n;
            else EXPECT_TRUE(BitmapContent(r.Dest) == before) << "a half-written destination at " << n;
            if (HasFailure()) return;
          }
        }
  std::printf("ResampleBitmap: %ld write and %ld allocation points\n", points[0], points[1]);
}

}  // namespace
}  // namespace pixoran
