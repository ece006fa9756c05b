// The image store on a full disk: an image whose rows cannot be written to
// the store file is reported, never raised, and never read back as the
// image that was stored.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../fulldisk_inject.h"
#include "core/kopxutils_diblist.h"

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
