// Copies from DIB bitmaps into the bitmap container, in every location.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "core/pxdib.h"
#include "testsupport.h"

namespace pixoran {
namespace {

class BitmapFromDib : public ::testing::TestWithParam<TPXLocation> {
 protected:
  void SetUp() override {
    // A threshold of 1 sends every image to a temporary file.
    if (GetParam() == pxTempFile) threshold_.emplace(1);
  }
  void TearDown() override { threshold_.reset(); }
  std::optional<testing::ThresholdScope> threshold_;
};

TEST_P(BitmapFromDib, TwentyFourBitRowsKeepTheirPlace) {
  TPXDibbitmap dib;
  ASSERT_TRUE(dib.AllocateBits(5, 3, 24));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) {
      uint8_t* p = dib.Scanline(y) + 3 * x;
      p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(y), p[2] = static_cast<uint8_t>(10 * y + x);
    }
  TPXBitmap b;
  if (GetParam() == pxTBitmap) b.SetLocation(pxTBitmap);
  b.CopyFromDibbitmap(dib);
  EXPECT_EQ(b.Location(), GetParam());
  ASSERT_EQ(b.PixelFormat(), pxBGR24);
  ASSERT_EQ(b.Width(), 5);
  ASSERT_EQ(b.Height(), 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) {
      const TBGR c = b.GetPixelAsRGB(x, y);
      EXPECT_EQ(c.b, x);
      EXPECT_EQ(c.g, y);
      EXPECT_EQ(c.r, 10 * y + x);
    }
}

TEST_P(BitmapFromDib, OneBitStaysOneBit) {
  TPXDibbitmap dib;
  ASSERT_TRUE(dib.AllocateBits(9, 2, 1));
  dib.Scanline(0)[0] = 0xA5;
  dib.Scanline(0)[1] = 0x80;
  dib.Scanline(1)[0] = 0x0F;
  TPXBitmap b;
  if (GetParam() == pxTBitmap) b.SetLocation(pxTBitmap);
  b.CopyFromDibbitmap(dib);
  ASSERT_EQ(b.PixelFormat(), pxBW1);
  EXPECT_EQ(b.Scanline(0)[0], 0xA5);
  EXPECT_EQ(b.Scanline(0)[1] & 0x80, 0x80);
  EXPECT_EQ(b.Scanline(1)[0], 0x0F);
}

TEST_P(BitmapFromDib, EmptyDibChangesNothing) {
  TPXDibbitmap dib;
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(2, 2, pxGray8));
  b.SetByte(1, 1, 77);
  b.CopyFromDibbitmap(dib);
  EXPECT_EQ(b.Width(), 2);
  EXPECT_EQ(b.GetByte(1, 1), 77);
}

INSTANTIATE_TEST_SUITE_P(Locations, BitmapFromDib, ::testing::Values(pxInMemory, pxTempFile, pxTBitmap));

}  // namespace
}  // namespace pixoran
