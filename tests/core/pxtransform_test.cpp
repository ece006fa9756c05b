#include "core/pxtransform.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "core/kopxutils_bitmap.h"
#include "testsupport.h"

namespace pixoran {
namespace {

// The bytes of pixel (x, y), or its bit for pxBW1.
uint32_t Pixel(TPXBitmap& b, int32_t x, int32_t y) {
  const uint8_t* r = b.Scanline(y);
  const int32_t bits = b.BitCount();
  if (bits == 1) return (r[x >> 3] >> (7 - (x & 7))) & 1;
  uint32_t v = 0;
  for (int i = 0; i < bits / 8; ++i) v = (v << 8) | r[x * (bits / 8) + i];
  return v;
}

void FillRandom(TPXBitmap& b, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* r = b.Scanline(y);
    for (int32_t i = 0; i < b.RowLen(); ++i) r[i] = static_cast<uint8_t>(rng());
  }
}

using Map = std::function<void(int32_t w, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy)>;

void ExpectMapped(TPXBitmap& src, TPXBitmap& dst, const Map& map) {
  const int32_t w = src.Width(), h = src.Height();
  for (int32_t y = 0; y < dst.Height(); ++y)
    for (int32_t x = 0; x < dst.Width(); ++x) {
      int32_t sx, sy;
      map(w, h, x, y, sx, sy);
      ASSERT_EQ(Pixel(dst, x, y), Pixel(src, sx, sy)) << x << "," << y;
    }
}

TEST(Transform, EveryFormatTurnsAndFlipsWithItsAlpha) {
  struct Turn {
    const char* name;
    bool (*fn)(TPXBitmap&, TPXBitmap&);
    Map map;
  } turns[] = {
      {"right", RotateRight90,
       [](int32_t, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = y, sy = h - 1 - x; }},
      {"left", RotateLeft90,
       [](int32_t w, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - y, sy = x; }},
      {"transpose", TransposeBitmap,
       [](int32_t, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = y, sy = x; }},
      {"transverse", TransverseBitmap,
       [](int32_t w, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - y, sy = h - 1 - x; }},
  };
  // In memory and in a temporary file (one row mapped at a time).
  for (int64_t threshold : {int64_t{1} << 40, int64_t{1}}) {
    testing::ThresholdScope scope(threshold);
    for (TPXPixelFormat f : {pxBW1, pxPal8, pxGray8, pxGray16, pxBGR24, px32f, pxCMYK}) {
      SCOPED_TRACE(::testing::Message() << "format " << int(f) << " threshold " << threshold);
      TPXBitmap src;
      ASSERT_TRUE(src.Allocate(13, 7, f));
      FillRandom(src, f);
      FillRandom(*src.GetAlphaChannel(), 99);
      for (const auto& t : turns) {
        SCOPED_TRACE(t.name);
        TPXBitmap dst;
        ASSERT_TRUE(t.fn(src, dst));
        ASSERT_EQ(dst.Width(), 7);
        ASSERT_EQ(dst.Height(), 13);
        ASSERT_EQ(dst.PixelFormat(), f);
        ExpectMapped(src, dst, t.map);
        ASSERT_TRUE(dst.HasAlphaChannel());
        ExpectMapped(*src.GetAlphaChannel(), *dst.GetAlphaChannel(), t.map);
      }
      TPXBitmap copy;
      copy.Assign(&src);
      FlipBitmap(copy, 0);
      ExpectMapped(src, copy,
                   [](int32_t w, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - x, sy = y; });
      ExpectMapped(*src.GetAlphaChannel(), *copy.GetAlphaChannel(),
                   [](int32_t w, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - x, sy = y; });
      FlipBitmap(copy, 0);
      FlipBitmap(copy, 1);
      ExpectMapped(src, copy,
                   [](int32_t, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = x, sy = h - 1 - y; });
      ExpectMapped(*src.GetAlphaChannel(), *copy.GetAlphaChannel(),
                   [](int32_t, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = x, sy = h - 1 - y; });
    }
  }
}

TEST(Transform, PaletteTravelsAndEmptyImagesStayEmpty) {
  TPXBitmap src;
  ASSERT_TRUE(src.Allocate(3, 2, pxPal8));
  src.SetPaletteEntry(5, TBGR{1, 2, 3});
  TPXBitmap dst;
  ASSERT_TRUE(RotateRight90(src, dst));
  EXPECT_EQ(dst.GetPaletteEntry(5), (TBGR{1, 2, 3}));
  TPXBitmap empty, out;
  EXPECT_TRUE(RotateLeft90(empty, out));
  EXPECT_EQ(out.Width(), 0);
  FlipBitmap(empty, 1);
}

}  // namespace
}  // namespace pixoran
