// Pixel-format conversion of the bitmap container: values of every
// conversion, refusals, the ordered dither and the threshold, alpha channel,
// storage locations and the platform bitmap.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/kopxutils.h"
#include "testsupport.h"

using namespace pixoran;

namespace {

constexpr int64_t kHuge = int64_t{1} << 40;

const char* FormatName(TPXPixelFormat f) {
  static const char* const names[] = {"pxNone", "pxBW1", "pxPal8", "pxGray8", "pxGray16", "pxBGR24", "px32f", "pxCMYK"};
  return f < 8 ? names[f] : "?";
}
const char* LocName(TPXLocation l) { return l == pxInMemory ? "memory" : l == pxTempFile ? "file" : "TBitmap"; }

using pixoran::testing::TempFolderScope;

// A bitmap whose rows land in the given location (memory and file chosen
// by the bitmap's own threshold). Fails the test when they land elsewhere.
std::unique_ptr<TPXBitmap> Make(TPXLocation loc, int32_t w, int32_t h, TPXPixelFormat f) {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = loc == pxTempFile ? 0 : kHuge;
  if (loc == pxTBitmap) b->SetLocation(pxTBitmap);
  EXPECT_TRUE(b->Allocate(w, h, f));
  if (f != pxNone && w > 0 && h > 0) {
    EXPECT_EQ(b->Location(), loc) << LocName(loc);
  }
  return b;
}

std::vector<uint8_t> FloatBytes(float f) {
  std::vector<uint8_t> v(4);
  std::memcpy(v.data(), &f, 4);
  return v;
}
std::vector<uint8_t> WordBytes(uint16_t w) { return {static_cast<uint8_t>(w & 0xFF), static_cast<uint8_t>(w >> 8)}; }
float ReadFloat(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}
int Bit(const uint8_t* row, int64_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

// The ordered-dither matrix, written out here as [x mod 8][y mod 8], so a
// transposed or shifted lookup shows.
constexpr uint8_t kMatrix[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                                   {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                                   {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                                   {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

// Every row, every byte a row holds for its pixels (padding excluded).
std::vector<std::vector<uint8_t>> Snapshot(TPXBitmap& b) {
  std::vector<std::vector<uint8_t>> rows;
  const int64_t bytes = (static_cast<int64_t>(b.Width()) * b.BitCount() + 7) / 8;
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* r = b.Scanline(y);
    rows.emplace_back(r, r + bytes);
  }
  return rows;
}

// Fills every pixel byte with a pattern.
void Paint(TPXBitmap& b) {
  const int64_t bytes = (static_cast<int64_t>(b.Width()) * b.BitCount() + 7) / 8;
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* r = b.Scanline(y);
    ASSERT_NE(r, nullptr);
    for (int64_t i = 0; i < bytes; ++i) r[i] = static_cast<uint8_t>(i * 37 + y * 11 + 5);
    if (b.PixelFormat() == pxBW1 && b.Width() % 8) {  // padding bits stay clear
      r[bytes - 1] &= static_cast<uint8_t>(0xFF << (8 - b.Width() % 8));
    }
  }
}

// Gives the bitmap an alpha channel with a value per pixel.
void PaintAlpha(TPXBitmap& b) {
  TPXBitmap* a = b.GetAlphaChannel();
  ASSERT_NE(a, nullptr);
  for (int32_t y = 0; y < b.Height(); ++y)
    for (int32_t x = 0; x < b.Width(); ++x) b.SetAlpha(x, y, static_cast<uint8_t>(x * 40 + y * 3));
}
::testing::AssertionResult AlphaIntact(TPXBitmap& b, int32_t w, int32_t h) {
  if (!b.HasAlphaChannel()) return ::testing::AssertionFailure() << "alpha channel lost";
  TPXBitmap* a = b.GetAlphaChannel();
  if (a->Width() != w || a->Height() != h || a->PixelFormat() != pxGray8)
    return ::testing::AssertionFailure() << "alpha channel reshaped";
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      if (b.GetAlpha(x, y) != static_cast<uint8_t>(x * 40 + y * 3))
        return ::testing::AssertionFailure() << "alpha " << x << "," << y << " is " << int(b.GetAlpha(x, y));
  return ::testing::AssertionSuccess();
}

// The pairs that are refused, with their messages.
const std::map<std::pair<TPXPixelFormat, TPXPixelFormat>, std::string>& Refusals() {
  static const std::map<std::pair<TPXPixelFormat, TPXPixelFormat>, std::string> m = {
      {{pxBW1, pxCMYK}, "1bit gray scale to CMYK not supported"},
      {{pxPal8, pxCMYK}, "8bit paletted to CMYK not supported"},
      {{pxGray8, pxCMYK}, "8bit gray scale to CMYK not supported"},
      {{pxGray16, pxCMYK}, "16bit gray scale to CMYK not supported"},
      {{px32f, pxCMYK}, "32bit float point gray scale to CMYK not supported"},
      {{pxCMYK, pxBW1}, "CMYK to 1bit gray scale not supported"},
      {{pxCMYK, pxPal8}, "CMYK to 8bit paletted not supported"},
      {{pxCMYK, pxGray8}, "CMYK to 8bit gray scale not supported"},
      {{pxCMYK, pxGray16}, "CMYK to 16bit gray scale not supported"},
      {{pxCMYK, px32f}, "CMYK to 32bit float point gray scale not supported"},
  };
  return m;
}

// Runs the conversion and returns the refusal message, or "" when none.
std::string ConvertMessage(TPXBitmap& b, TPXPixelFormat to) {
  try {
    b.SetPixelFormat(to);
  } catch (const EPXBitmapError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

// ------------------------------------------------------------ values

namespace {
struct ValueCase {
  TPXPixelFormat from;
  std::vector<uint8_t> in;  // one pixel (pxBW1: the byte holding it as its top bit)
  TPXPixelFormat to;
  std::vector<uint8_t> out;  // the pixel's bytes; empty for px32f targets
  float outFloat = 0.0f;     // the px32f result
};

// A paletted source pixel uses index 7, whose entry is red 200, green 100, blue 50.
const TBGR kPalColor{50, 100, 200};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

const ValueCase kValueCases[] = {
    // 1 bit: a set bit is white.
    {pxBW1, {0x80}, pxPal8, {1}},
    {pxBW1, {0x00}, pxPal8, {0}},
    {pxBW1, {0x80}, pxGray8, {255}},
    {pxBW1, {0x7F}, pxGray8, {0}},
    {pxBW1, {0x80}, pxGray16, {0xFF, 0xFF}},
    {pxBW1, {0x00}, pxGray16, {0, 0}},
    {pxBW1, {0x80}, pxBGR24, {255, 255, 255}},
    {pxBW1, {0x7F}, pxBGR24, {0, 0, 0}},
    {pxBW1, {0x80}, px32f, {}, 1.0f},
    {pxBW1, {0x7F}, px32f, {}, 0.0f},
    // Paletted: through the palette colour (200, 100, 50).
    {pxPal8, {7}, pxGray8, {117}},          // (200*21 + 100*71 + 50*8) div 100
    {pxPal8, {7}, pxGray16, {0x73, 0x75}},  // 30067
    {pxPal8, {7}, pxBGR24, {50, 100, 200}},
    {pxPal8, {7}, px32f, {}, 117.65f / 255},  // 200*0.2126 + 100*0.7152 + 50*0.0722
    // 8-bit grey.
    {pxGray8, {77}, pxPal8, {77}},
    {pxGray8, {1}, pxGray16, {0x00, 0x01}},  // 256
    {pxGray8, {255}, pxGray16, {0x00, 0xFF}},
    {pxGray8, {77}, pxBGR24, {77, 77, 77}},
    {pxGray8, {51}, px32f, {}, 0.2f},
    {pxGray8, {255}, px32f, {}, 1.0f},
    // 16-bit grey, little-endian.
    {pxGray16, {0xFF, 0x01}, pxGray8, {1}},  // 511
    {pxGray16, {0xCD, 0xAB}, pxGray8, {0xAB}},
    {pxGray16, {0xCD, 0xAB}, pxPal8, {0xAB}},
    {pxGray16, {0xCD, 0xAB}, pxBGR24, {0xAB, 0xAB, 0xAB}},
    {pxGray16, {0xFF, 0xFF}, px32f, {}, 1.0f},
    {pxGray16, {0x00, 0x80}, px32f, {}, 32768.0f / 65535},
    // 24-bit colour (bytes blue, green, red).
    {pxBGR24, {0, 0, 255}, pxGray8, {53}},
    {pxBGR24, {0, 255, 0}, pxGray8, {181}},
    {pxBGR24, {255, 0, 0}, pxGray8, {20}},
    {pxBGR24, {255, 255, 255}, pxGray8, {255}},
    {pxBGR24, {255, 255, 255}, pxGray16, {0x00, 0xFF}},  // 65280, not 65535
    {pxBGR24, {0, 0, 255}, pxGray16, {0x0F, 0x36}},      // 13839
    {pxBGR24, {255, 255, 255}, px32f, {}, 1.0f},
    {pxBGR24, {0, 0, 255}, px32f, {}, 0.2126f},
    {pxBGR24, {0, 50, 100}, pxCMYK, {255, 127, 0, 100}},
    {pxBGR24, {0, 0, 0}, pxCMYK, {0, 0, 0, 1}},
    // CMYK (bytes C, M, Y, K).
    {pxCMYK, {255, 127, 0, 100}, pxBGR24, {0, 49, 100}},
    {pxCMYK, {10, 20, 30, 0}, pxBGR24, {0, 0, 0}},
    // Float grey: Trunc(v * 255), clamped to 0..255 with NaN as 0.
    {px32f, FloatBytes(0.5f), pxGray8, {127}},
    {px32f, FloatBytes(1.0f), pxGray8, {255}},
    {px32f, FloatBytes(0.5f), pxPal8, {127}},
    {px32f, FloatBytes(0.25f), pxBGR24, {63, 63, 63}},
    {px32f, FloatBytes(0.5f), pxGray16, WordBytes(32767)},
    {px32f, FloatBytes(1.0f), pxGray16, WordBytes(65535)},
    {px32f, FloatBytes(-0.5f), pxGray8, {0}},
    {px32f, FloatBytes(2.0f), pxGray8, {255}},
    {px32f, FloatBytes(kNaN), pxGray8, {0}},
    {px32f, FloatBytes(kInf), pxGray8, {255}},
    {px32f, FloatBytes(-kInf), pxGray8, {0}},
    {px32f, FloatBytes(1.0039216f), pxPal8, {255}},  // 256/255 would wrap to 0 unclamped
    {px32f, FloatBytes(kNaN), pxPal8, {0}},
    {px32f, FloatBytes(7.0f), pxBGR24, {255, 255, 255}},
    {px32f, FloatBytes(1.5f), pxGray16, WordBytes(65535)},
    {px32f, FloatBytes(-1.0f), pxGray16, WordBytes(0)},
    {px32f, FloatBytes(kNaN), pxGray16, WordBytes(0)},
};
}  // namespace

TEST(ConvertValues, EachPairGivesItsValueInEveryStoredLocation) {
  for (TPXLocation loc : {pxInMemory, pxTempFile}) {
    for (const ValueCase& c : kValueCases) {
      SCOPED_TRACE(std::string(FormatName(c.from)) + " -> " + FormatName(c.to) + " in " + LocName(loc));
      auto b = Make(loc, 1, 1, c.from);
      if (c.from == pxPal8) b->SetPaletteEntry(7, kPalColor);
      std::memcpy(b->Scanline(0), c.in.data(), c.in.size());
      b->SetPixelFormat(c.to);
      ASSERT_EQ(b->PixelFormat(), c.to);
      ASSERT_EQ(b->Width(), 1);
      ASSERT_EQ(b->Height(), 1);
      const uint8_t* r = b->Scanline(0);
      ASSERT_NE(r, nullptr);
      if (c.to == px32f) {
        EXPECT_NEAR(ReadFloat(r), c.outFloat, 1e-6);
      } else {
        EXPECT_EQ(std::vector<uint8_t>(r, r + c.out.size()), c.out);
      }
    }
  }
}

TEST(ConvertValues, PalettesOfPalettedResults) {
  // 1 bit: entry 0 black, entry 1 white.
  auto bw = Make(pxInMemory, 3, 1, pxBW1);
  bw->Scanline(0)[0] = 0xA0;  // 1, 0, 1
  bw->SetPixelFormat(pxPal8);
  EXPECT_EQ(bw->GetPaletteEntry(0), (TBGR{0, 0, 0}));
  EXPECT_EQ(bw->GetPaletteEntry(1), (TBGR{255, 255, 255}));
  EXPECT_EQ(bw->Scanline(0)[0], 1);
  EXPECT_EQ(bw->Scanline(0)[1], 0);
  EXPECT_EQ(bw->Scanline(0)[2], 1);

  // Grey sources get the full ramp.
  for (TPXPixelFormat f : {pxGray8, pxGray16, px32f}) {
    SCOPED_TRACE(FormatName(f));
    auto g = Make(pxInMemory, 2, 2, f);
    g->SetPixelFormat(pxPal8);
    ASSERT_EQ(g->PaletteCount(), 256);
    for (int i = 0; i < 256; ++i) {
      const auto v = static_cast<uint8_t>(i);
      ASSERT_EQ(g->GetPaletteEntry(i), (TBGR{v, v, v})) << i;
    }
  }
}

TEST(ConvertValues, FloatRoundTripsKeepEveryLevel) {
  // 8-bit and 16-bit levels go to float and come back as themselves.
  auto g8 = Make(pxInMemory, 256, 1, pxGray8);
  for (int i = 0; i < 256; ++i) g8->Scanline(0)[i] = static_cast<uint8_t>(i);
  g8->SetPixelFormat(px32f);
  g8->SetPixelFormat(pxGray8);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(g8->Scanline(0)[i], i);

  auto g16 = Make(pxInMemory, 256, 256, pxGray16);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) {
      g16->Scanline(y)[2 * x] = static_cast<uint8_t>(x);
      g16->Scanline(y)[2 * x + 1] = static_cast<uint8_t>(y);
    }
  g16->SetPixelFormat(px32f);
  g16->SetPixelFormat(pxGray16);
  for (int y = 0; y < 256; ++y) {
    const uint8_t* r = g16->Scanline(y);
    for (int x = 0; x < 256; ++x) ASSERT_EQ(r[2 * x] | (r[2 * x + 1] << 8), y * 256 + x);
  }
}

TEST(ConvertValues, LuminanceFollowsTheProcessWideWeights) {
  TPXSettings& s = PXSettings();
  const int32_t r = s.LumRed, g = s.LumGreen, bl = s.LumBlue;
  s.LumRed = 100, s.LumGreen = 0, s.LumBlue = 0;
  auto b = Make(pxInMemory, 1, 1, pxBGR24);
  const uint8_t px[3] = {10, 20, 200};
  std::memcpy(b->Scanline(0), px, 3);
  b->SetPixelFormat(pxGray8);
  s.LumRed = r, s.LumGreen = g, s.LumBlue = bl;
  EXPECT_EQ(b->Scanline(0)[0], 200);
}

TEST(ConvertValues, WideRowsConvertEveryPixel) {
  // 1-bit expansion goes eight pixels at a time: a width that is not a
  // multiple of eight checks the tail.
  auto b = Make(pxInMemory, 21, 2, pxBW1);
  for (int y = 0; y < 2; ++y) {
    uint8_t* r = b->Scanline(y);
    r[0] = 0xC5, r[1] = 0x3A, r[2] = y ? 0xF8 : 0x50;
  }
  auto ref = Snapshot(*b);
  b->SetPixelFormat(pxBGR24);
  for (int y = 0; y < 2; ++y) {
    const uint8_t* r = b->Scanline(y);
    for (int x = 0; x < 21; ++x) {
      const uint8_t v = Bit(ref[y].data(), x) ? 255 : 0;
      ASSERT_EQ(r[3 * x], v) << x << "," << y;
      ASSERT_EQ(r[3 * x + 1], v);
      ASSERT_EQ(r[3 * x + 2], v);
    }
  }
}

// ------------------------------------------------------------ quantizer

TEST(ConvertQuantize, FewColoursKeepThemExactly) {
  const TBGR colors[3] = {{10, 20, 30}, {200, 100, 0}, {0, 255, 7}};
  auto b = Make(pxInMemory, 9, 4, pxBGR24);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 9; ++x) std::memcpy(b->Scanline(y) + 3 * x, &colors[(x + y) % 3], 3);
  PaintAlpha(*b);
  b->SetPixelFormat(pxPal8);
  ASSERT_EQ(b->PixelFormat(), pxPal8);
  // Palette in order of first appearance, then the pixels map onto it.
  EXPECT_EQ(b->GetPaletteEntry(0), colors[0]);
  EXPECT_EQ(b->GetPaletteEntry(1), colors[1]);
  EXPECT_EQ(b->GetPaletteEntry(2), colors[2]);
  EXPECT_EQ(b->GetPaletteEntry(3), (TBGR{0, 0, 0}));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 9; ++x) ASSERT_EQ(b->Scanline(y)[x], (x + y) % 3) << x << "," << y;
  EXPECT_TRUE(AlphaIntact(*b, 9, 4));
}

TEST(ConvertQuantize, MaxColorsBoundsThePalette) {
  // Four colours into two entries: every index is a written entry, and
  // each pixel gets the nearer of the two.
  const TBGR colors[4] = {{0, 0, 0}, {10, 10, 10}, {240, 240, 250}, {255, 250, 255}};
  auto b = Make(pxTempFile, 16, 8, pxBGR24);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) std::memcpy(b->Scanline(y) + 3 * x, &colors[(x / 2 + y) % 4], 3);
  b->MaxColors = 2;
  b->SetPixelFormat(pxPal8);
  ASSERT_EQ(b->PixelFormat(), pxPal8);
  const TBGR dark = b->GetPaletteEntry(b->Scanline(0)[0]);
  for (int y = 0; y < 8; ++y) {
    const uint8_t* r = b->Scanline(y);
    for (int x = 0; x < 16; ++x) {
      ASSERT_LT(r[x], 2);
      const TBGR e = b->GetPaletteEntry(r[x]);
      const bool isDark = (x / 2 + y) % 4 < 2;
      EXPECT_EQ(e.r < 128, isDark) << x << "," << y;
    }
  }
  EXPECT_LT(dark.r, 128);
}

TEST(ConvertQuantize, GreyColourImageGetsTheRamp) {
  auto b = Make(pxInMemory, 256, 1, pxBGR24);
  for (int x = 0; x < 256; ++x) std::memset(b->Scanline(0) + 3 * x, 255 - x, 3);
  b->SetPixelFormat(pxPal8);
  for (int x = 0; x < 256; ++x) {
    ASSERT_EQ(b->Scanline(0)[x], 255 - x);
    const auto v = static_cast<uint8_t>(x);
    ASSERT_EQ(b->GetPaletteEntry(x), (TBGR{v, v, v}));
  }
}

// ------------------------------------------------------------ 1 bit

namespace {
// A source of the given format whose every pixel has dither level 1.
std::unique_ptr<TPXBitmap> LevelOneImage(TPXPixelFormat f, TPXLocation loc, int32_t w, int32_t h) {
  auto b = Make(loc, w, h, f);
  if (f == pxPal8) b->SetPaletteEntry(9, TBGR{4, 4, 4});
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* r = b->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      switch (f) {
        case pxPal8: r[x] = 9; break;
        case pxGray8: r[x] = 4; break;                               // 4 shr 2
        case pxGray16: r[2 * x] = 0xFF, r[2 * x + 1] = 0x07; break;  // 2047 shr 10
        case pxBGR24: std::memset(r + 3 * x, 4, 3); break;
        case px32f: std::memcpy(r + 4 * x, FloatBytes(7.9f / 255).data(), 4); break;  // Trunc 7
        default: break;
      }
    }
  }
  return b;
}
}  // namespace

TEST(ConvertDither, LevelOneSetsExactlyTheZeroEntries) {
  for (TPXLocation loc : {pxInMemory, pxTempFile}) {
    for (TPXPixelFormat f : {pxPal8, pxGray8, pxGray16, pxBGR24, px32f}) {
      SCOPED_TRACE(std::string(FormatName(f)) + " in " + LocName(loc));
      auto b = LevelOneImage(f, loc, 19, 17);
      b->BWConversion = 0;
      b->SetPixelFormat(pxBW1);
      ASSERT_EQ(b->PixelFormat(), pxBW1);
      for (int y = 0; y < 17; ++y) {
        const uint8_t* r = b->Scanline(y);
        for (int x = 0; x < 19; ++x) ASSERT_EQ(Bit(r, x), kMatrix[x % 8][y % 8] == 0) << x << "," << y;
        EXPECT_EQ(r[2] & 0x1F, 0) << "padding bits of row " << y;
      }
    }
  }
}

TEST(ConvertDither, EveryLevelAgainstTheMatrix) {
  // Grey g has level g shr 2: the pixel is white where the matrix is below it.
  auto b = Make(pxInMemory, 256, 8, pxGray8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 256; ++x) b->Scanline(y)[x] = static_cast<uint8_t>(x);
  b->BWConversion = 0;
  b->SetPixelFormat(pxBW1);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 256; ++x) ASSERT_EQ(Bit(b->Scanline(y), x), kMatrix[x % 8][y] < (x >> 2)) << x << "," << y;
}

TEST(ConvertDither, WhiteHasNoNearWhiteRule) {
  // White is level 63: the positions holding 63 stay black.
  auto b = Make(pxInMemory, 16, 16, pxBGR24);
  for (int y = 0; y < 16; ++y) std::memset(b->Scanline(y), 255, 48);
  b->BWConversion = 0;
  b->SetPixelFormat(pxBW1);
  int black = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const bool set = Bit(b->Scanline(y), x);
      ASSERT_EQ(set, kMatrix[x % 8][y % 8] != 63) << x << "," << y;
      black += !set;
    }
  EXPECT_EQ(black, 4);
}

TEST(ConvertDither, FloatOutsideTheRangeIsClampedBeforeTheLevel) {
  auto b = Make(pxInMemory, 8, 8, px32f);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) std::memcpy(b->Scanline(y) + 4 * x, FloatBytes(x < 4 ? kNaN : 2.0f).data(), 4);
  b->BWConversion = 0;
  b->SetPixelFormat(pxBW1);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) ASSERT_EQ(Bit(b->Scanline(y), x), x >= 4 && kMatrix[x][y] != 63) << x << "," << y;
}

TEST(ConvertThreshold, MeanLuminanceSplitsAndTheMeanItselfIsWhite) {
  // Each row 0, 100, 200: mean 100, so 100 and 200 are white, 0 black.
  for (TPXLocation loc : {pxInMemory, pxTempFile}) {
    for (TPXPixelFormat f : {pxGray8, pxBGR24, pxPal8, pxGray16, px32f}) {
      SCOPED_TRACE(std::string(FormatName(f)) + " in " + LocName(loc));
      auto b = Make(loc, 3, 2, f);
      if (f == pxPal8)
        for (int i = 0; i < 256; ++i) {
          const auto v = static_cast<uint8_t>(i);
          b->SetPaletteEntry(i, TBGR{v, v, v});
        }
      const uint8_t levels[3] = {0, 100, 200};
      for (int y = 0; y < 2; ++y) {
        uint8_t* r = b->Scanline(y);
        for (int x = 0; x < 3; ++x) {
          const uint8_t v = levels[x];
          switch (f) {
            case pxGray8:
            case pxPal8: r[x] = v; break;
            case pxGray16: r[2 * x] = 0x80, r[2 * x + 1] = v; break;
            case pxBGR24: std::memset(r + 3 * x, v, 3); break;
            case px32f: std::memcpy(r + 4 * x, FloatBytes((v + 0.5f) / 255).data(), 4); break;
            default: break;
          }
        }
      }
      EXPECT_EQ(b->BWConversion, 1);  // the default
      b->SetPixelFormat(pxBW1);
      ASSERT_EQ(b->PixelFormat(), pxBW1);
      for (int y = 0; y < 2; ++y) EXPECT_EQ(b->Scanline(y)[0], 0x60) << y;  // 0 1 1, padding clear
    }
  }
}

// ------------------------------------------------------------ refusals

TEST(ConvertRefusal, CMYKPairsAreRefusedWithTheImageIntact) {
  for (TPXLocation loc : {pxInMemory, pxTempFile}) {
    for (const auto& [pair, message] : Refusals()) {
      const auto [from, to] = pair;
      SCOPED_TRACE(std::string(FormatName(from)) + " -> " + FormatName(to) + " in " + LocName(loc));
      auto b = Make(loc, 11, 5, from);
      Paint(*b);
      if (from == pxPal8) b->SetPaletteEntry(3, TBGR{1, 2, 3});
      PaintAlpha(*b);
      b->BWConversion = 0;
      b->MaxColors = 77;
      const auto before = Snapshot(*b);
      const uint8_t* rowBefore = loc == pxInMemory ? b->Scanline(2) : nullptr;

      EXPECT_EQ(ConvertMessage(*b, to), message);
      try {
        b->ConvertPixelFormat(to);
        ADD_FAILURE() << "ConvertPixelFormat did not refuse";
      } catch (const EPXBitmapError& e) {
        EXPECT_EQ(std::string(e.what()), message);
      }

      EXPECT_EQ(b->PixelFormat(), from);
      EXPECT_EQ(b->Width(), 11);
      EXPECT_EQ(b->Height(), 5);
      EXPECT_EQ(b->Location(), loc);
      EXPECT_EQ(Snapshot(*b), before);
      if (rowBefore) {
        EXPECT_EQ(b->Scanline(2), rowBefore) << "storage was replaced";
      }
      if (from == pxPal8) {
        EXPECT_EQ(b->GetPaletteEntry(3), (TBGR{1, 2, 3}));
      }
      EXPECT_EQ(b->BWConversion, 0);
      EXPECT_EQ(b->MaxColors, 77);
      EXPECT_TRUE(AlphaIntact(*b, 11, 5));
    }
  }
}

TEST(ConvertRefusal, UnknownFormatIsRefused) {
  auto b = Make(pxInMemory, 4, 4, pxGray8);
  Paint(*b);
  const auto before = Snapshot(*b);
  EXPECT_THROW(b->SetPixelFormat(static_cast<TPXPixelFormat>(8)), EPXBitmapError);
  EXPECT_EQ(b->PixelFormat(), pxGray8);
  EXPECT_EQ(Snapshot(*b), before);
}

// ------------------------------------------------------------ the whole table

TEST(ConvertTable, EveryPairHasItsOutcome) {
  int refused = 0, converted = 0;
  for (TPXLocation loc : {pxInMemory, pxTempFile}) {
    for (int fi = 0; fi < 8; ++fi)
      for (int ti = 0; ti < 8; ++ti) {
        const auto from = static_cast<TPXPixelFormat>(fi), to = static_cast<TPXPixelFormat>(ti);
        SCOPED_TRACE(std::string(FormatName(from)) + " -> " + FormatName(to) + " in " + LocName(loc));
        auto b = Make(loc, 13, 3, from);
        if (from != pxNone) Paint(*b);
        const auto before = from != pxNone ? Snapshot(*b) : std::vector<std::vector<uint8_t>>{};
        if (from != pxNone) PaintAlpha(*b);

        const auto it = Refusals().find({from, to});
        const std::string msg = ConvertMessage(*b, to);
        if (it != Refusals().end()) {
          ++refused;
          EXPECT_EQ(msg, it->second);
          EXPECT_EQ(b->PixelFormat(), from);
          continue;
        }
        ++converted;
        ASSERT_EQ(msg, "");
        EXPECT_EQ(b->PixelFormat(), to);
        if (from == to) {
          if (from != pxNone) {
            EXPECT_EQ(Snapshot(*b), before);
          }  // nothing to do
        } else if (to == pxNone) {
          EXPECT_EQ(b->Scanline(0), nullptr);  // empty: no rows
        } else {
          EXPECT_EQ(b->Width(), 13);
          EXPECT_EQ(b->Height(), 3);
          EXPECT_EQ(b->BitCount(), PXBitsPerPixel[to]);
          for (int y = 0; y < 3; ++y) EXPECT_NE(b->Scanline(y), nullptr);
          if (from == pxNone) {  // a new image of the stored size, zeroed
            for (const auto& row : Snapshot(*b))
              for (uint8_t v : row) ASSERT_EQ(v, 0);
          }
        }
        if (from != pxNone) {
          EXPECT_TRUE(AlphaIntact(*b, 13, 3));
        }
      }
  }
  EXPECT_EQ(refused, 2 * 10);
  EXPECT_EQ(converted, 2 * 54);
}

TEST(ConvertTable, CurrentFormatChangesNothing) {
  auto b = Make(pxInMemory, 5, 5, pxPal8);
  Paint(*b);
  for (int i = 0; i < 256; ++i) b->SetPaletteEntry(i, TBGR{static_cast<uint8_t>(i), 7, 9});
  PaintAlpha(*b);
  const auto before = Snapshot(*b);
  const uint8_t* row = b->Scanline(0);
  b->SetPixelFormat(pxPal8);
  b->ConvertPixelFormat(pxPal8);
  EXPECT_EQ(b->Scanline(0), row);
  EXPECT_EQ(Snapshot(*b), before);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(b->GetPaletteEntry(i), (TBGR{static_cast<uint8_t>(i), 7, 9}));
  EXPECT_TRUE(AlphaIntact(*b, 5, 5));

  // Even CMYK, which is refused towards every other format but 24-bit.
  auto k = Make(pxInMemory, 2, 2, pxCMYK);
  EXPECT_NO_THROW(k->SetPixelFormat(pxCMYK));
}

// ------------------------------------------------------------ alpha, locations

TEST(ConvertAlpha, KeptThroughEveryKindOfConversion) {
  for (TPXPixelFormat to : {pxPal8, pxGray8, pxBW1, pxGray16, px32f, pxCMYK, pxNone}) {
    for (uint8_t method : {0, 1}) {
      SCOPED_TRACE(std::string("pxBGR24 -> ") + FormatName(to) + " method " + std::to_string(method));
      auto b = Make(pxInMemory, 10, 6, pxBGR24);
      Paint(*b);
      PaintAlpha(*b);
      b->BWConversion = method;
      b->SetPixelFormat(to);
      EXPECT_EQ(b->PixelFormat(), to);
      EXPECT_TRUE(AlphaIntact(*b, 10, 6));
    }
  }
}

TEST(ConvertLocation, TemporaryFileRowsConvertAndMayMoveToMemory) {
  const std::string dir = pixoran::testing::MakeTempDir("convert");
  TempFolderScope folder(dir);
  // 24-bit rows of 40 x 30 take 3600 bytes; the threshold sits between the
  // 24-bit and the 8-bit size, so the grey result lands in memory.
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = 2000;
  ASSERT_TRUE(b->Allocate(40, 30, pxBGR24));
  ASSERT_EQ(b->Location(), pxTempFile);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      uint8_t* p = b->Scanline(y) + 3 * x;
      p[0] = 0, p[1] = 0, p[2] = static_cast<uint8_t>((x + y) % 2 ? 255 : 0);  // red or black
    }
  b->SetPixelFormat(pxGray8);
  EXPECT_EQ(b->Location(), pxInMemory);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) ASSERT_EQ(b->Scanline(y)[x], (x + y) % 2 ? 53 : 0) << x << "," << y;

  // And back up: 24-bit goes to the file again, values intact.
  b->SetPixelFormat(pxBGR24);
  EXPECT_EQ(b->Location(), pxTempFile);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      const uint8_t v = (x + y) % 2 ? 53 : 0;
      const uint8_t* p = b->Scanline(y) + 3 * x;
      ASSERT_EQ(p[0], v);
      ASSERT_EQ(p[1], v);
      ASSERT_EQ(p[2], v);
    }
}

TEST(ConvertLocation, TemporaryFileKeepsEveryRowOfAThresholdConversion) {
  // Many rows through one mapped row at a time on both sides.
  auto b = Make(pxTempFile, 33, 70, pxGray8);
  for (int y = 0; y < 70; ++y)
    for (int x = 0; x < 33; ++x) b->Scanline(y)[x] = static_cast<uint8_t>(y < 35 ? 10 : 250);
  b->SetPixelFormat(pxBW1);
  ASSERT_EQ(b->Location(), pxTempFile);
  for (int y = 0; y < 70; ++y) {
    const uint8_t* r = b->Scanline(y);
    for (int x = 0; x < 33; ++x) ASSERT_EQ(Bit(r, x), y >= 35) << x << "," << y;
  }
}

// ------------------------------------------------------------ platform bitmap

TEST(ConvertPlatform, OneBitTo24BitExpandsInThePlatformBitmap) {
  auto b = Make(pxTBitmap, 12, 3, pxBW1);
  for (int y = 0; y < 3; ++y) b->Scanline(y)[0] = 0xA5, b->Scanline(y)[1] = 0xF0;
  PaintAlpha(*b);
  TBitmap* held = b->VclBitmap();
  b->SetPixelFormat(pxBGR24);
  EXPECT_EQ(b->Location(), pxTBitmap);
  EXPECT_EQ(b->VclBitmap(), held);
  EXPECT_EQ(held->PixelFormat(), pf24bit);
  EXPECT_EQ(b->PixelFormat(), pxBGR24);
  const uint8_t bits[2] = {0xA5, 0xF0};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 12; ++x) {
      const uint8_t v = Bit(bits, x) ? 255 : 0;
      const uint8_t* p = b->Scanline(y) + 3 * x;
      ASSERT_EQ(p[0], v) << x;
      ASSERT_EQ(p[1], v);
      ASSERT_EQ(p[2], v);
    }
  EXPECT_TRUE(AlphaIntact(*b, 12, 3));
}

TEST(ConvertPlatform, TwentyFourBitToOneBitByBothMethods) {
  // The platform bitmap's ordered dither turns near-white pixels (251)
  // white, even where the matrix holds 62; grey 128 is level 32.
  auto d = Make(pxTBitmap, 8, 8, pxBGR24);
  for (int y = 0; y < 8; ++y) {
    std::memset(d->Scanline(y), 251, 12);
    std::memset(d->Scanline(y) + 12, 128, 12);
  }
  PaintAlpha(*d);
  d->BWConversion = 0;
  d->SetPixelFormat(pxBW1);
  ASSERT_EQ(d->PixelFormat(), pxBW1);
  EXPECT_EQ(d->Location(), pxTBitmap);
  EXPECT_EQ(d->VclBitmap()->PixelFormat(), pf1bit);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(Bit(d->Scanline(y), x), x < 4 || kMatrix[x][y] < 32) << x << "," << y;
  EXPECT_TRUE(AlphaIntact(*d, 8, 8));

  // Threshold at the mean: 0 and 200 alternate, mean 100.
  auto t = Make(pxTBitmap, 8, 2, pxBGR24);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 8; ++x) std::memset(t->Scanline(y) + 3 * x, x % 2 ? 200 : 0, 3);
  t->SetPixelFormat(pxBW1);
  ASSERT_EQ(t->PixelFormat(), pxBW1);
  for (int y = 0; y < 2; ++y) EXPECT_EQ(t->Scanline(y)[0], 0x55) << y;
}

TEST(ConvertPlatform, OtherConversionsGoThroughMemoryAndRebuildThePlatformBitmap) {
  // Red and white 24-bit pixels to every format the platform bitmap holds.
  struct Case {
    TPXPixelFormat to;
    TPXPixelFormat reported;  // 8-bit platform bitmaps are read as paletted
    TPixelFormat platform;
    uint8_t red, white;  // the byte each pixel becomes (pxBW1: its bit)
  };
  const Case cases[] = {
      {pxGray8, pxPal8, pf8bit, 53, 255},
      {pxGray16, pxPal8, pf8bit, 54, 255},  // 13839 and 65280, by their high bytes
      {pxPal8, pxPal8, pf8bit, 0, 1},       // exact palette: red first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(FormatName(c.to));
    auto b = Make(pxTBitmap, 4, 2, pxBGR24);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) {
        uint8_t* p = b->Scanline(y) + 3 * x;
        if (x % 2) std::memset(p, 255, 3);
        else p[0] = 0, p[1] = 0, p[2] = 255;
      }
    PaintAlpha(*b);
    TBitmap* held = b->VclBitmap();
    b->SetPixelFormat(c.to);
    EXPECT_EQ(b->Location(), pxTBitmap);
    EXPECT_EQ(b->VclBitmap(), held);
    EXPECT_EQ(held->PixelFormat(), c.platform);
    EXPECT_EQ(b->PixelFormat(), c.reported);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) ASSERT_EQ(b->Scanline(y)[x], x % 2 ? c.white : c.red) << x << "," << y;
    if (c.to == pxPal8) {
      EXPECT_EQ(b->GetPaletteEntry(0), (TBGR{0, 0, 255}));
      EXPECT_EQ(b->GetPaletteEntry(1), (TBGR{255, 255, 255}));
      EXPECT_EQ(held->GetPaletteEntry(0).Red, 255);
      EXPECT_EQ(held->GetPaletteEntry(0).Blue, 0);
    } else {
      EXPECT_EQ(b->GetPaletteEntry(53), (TBGR{53, 53, 53}));
    }
    EXPECT_TRUE(AlphaIntact(*b, 4, 2));
  }

  // Paletted and 1-bit sources to 24 bits and back down.
  auto p = Make(pxTBitmap, 3, 1, pxPal8);
  p->SetPaletteEntry(5, TBGR{10, 20, 30});
  p->Scanline(0)[0] = 5, p->Scanline(0)[1] = 0, p->Scanline(0)[2] = 5;
  p->SetPixelFormat(pxBGR24);
  ASSERT_EQ(p->PixelFormat(), pxBGR24);
  EXPECT_EQ(p->VclBitmap()->PixelFormat(), pf24bit);
  const uint8_t* r = p->Scanline(0);
  EXPECT_EQ(std::vector<uint8_t>(r, r + 9), (std::vector<uint8_t>{10, 20, 30, 0, 0, 0, 10, 20, 30}));
  p->BWConversion = 0;
  p->SetPixelFormat(pxPal8);
  EXPECT_EQ(p->PixelFormat(), pxPal8);

  auto bw = Make(pxTBitmap, 3, 1, pxBW1);
  bw->Scanline(0)[0] = 0xA0;
  bw->SetPixelFormat(pxGray8);
  EXPECT_EQ(bw->PixelFormat(), pxPal8);
  EXPECT_EQ(bw->VclBitmap()->PixelFormat(), pf8bit);
  EXPECT_EQ(bw->Scanline(0)[0], 255);
  EXPECT_EQ(bw->Scanline(0)[1], 0);
}

TEST(ConvertPlatform, AttachedPlatformBitmapIsConvertedInPlace) {
  TBitmap own;
  own.SetPixelFormat(pf8bit);
  own.SetSize(2, 2);
  std::vector<TPaletteEntry> pal(256);
  pal[3] = TPaletteEntry{255, 0, 0, 0};  // red
  own.SetPaletteEntries(0, pal);
  for (int y = 0; y < 2; ++y) own.ScanLine(y)[0] = 3, own.ScanLine(y)[1] = 0;
  {
    TPXBitmap b;
    b.AttachTBitmap(&own, true);
    ASSERT_EQ(b.PixelFormat(), pxPal8);
    b.SetPixelFormat(pxBGR24);
    EXPECT_EQ(b.PixelFormat(), pxBGR24);
  }
  // The caller's bitmap holds the result and outlives the container.
  ASSERT_EQ(own.PixelFormat(), pf24bit);
  for (int y = 0; y < 2; ++y) {
    const uint8_t* r = own.ScanLine(y);
    EXPECT_EQ(std::vector<uint8_t>(r, r + 6), (std::vector<uint8_t>{0, 0, 255, 0, 0, 0}));
  }
}

TEST(ConvertPlatform, FormatsThePlatformBitmapCannotHoldAreRefusedIntact) {
  struct Case {
    TPXPixelFormat from, to;
    std::string message;
  };
  const Case cases[] = {
      {pxBGR24, px32f, "px32f pixel format not allowed when Location=pxTBitmap"},
      {pxBGR24, pxCMYK, "pxCMYK pixel format not allowed when Location=pxTBitmap"},
      {pxPal8, px32f, "px32f pixel format not allowed when Location=pxTBitmap"},
      {pxBW1, pxCMYK, "1bit gray scale to CMYK not supported"},  // the pair's own refusal first
      {pxPal8, pxCMYK, "8bit paletted to CMYK not supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(FormatName(c.from)) + " -> " + FormatName(c.to));
    auto b = Make(pxTBitmap, 9, 4, c.from);
    Paint(*b);
    PaintAlpha(*b);
    const auto before = Snapshot(*b);
    TBitmap* held = b->VclBitmap();
    const TPixelFormat pf = held->PixelFormat();
    EXPECT_EQ(ConvertMessage(*b, c.to), c.message);
    EXPECT_EQ(b->PixelFormat(), c.from);
    EXPECT_EQ(b->Location(), pxTBitmap);
    EXPECT_EQ(b->VclBitmap(), held);
    EXPECT_EQ(held->PixelFormat(), pf);
    EXPECT_EQ(Snapshot(*b), before);
    EXPECT_TRUE(AlphaIntact(*b, 9, 4));
  }
}

TEST(ConvertPlatform, EmptyPlatformBitmapTakesTheFormat) {
  for (auto [to, pf] : {std::pair{pxBW1, pf1bit}, std::pair{pxBGR24, pf24bit}, std::pair{pxPal8, pf8bit}}) {
    SCOPED_TRACE(FormatName(to));
    TPXBitmap b;
    TBitmap* held = b.VclBitmap();
    ASSERT_EQ(b.Location(), pxTBitmap);
    ASSERT_TRUE(held->Empty());
    b.SetPixelFormat(to);
    EXPECT_EQ(b.VclBitmap()->PixelFormat(), pf);
    EXPECT_EQ(b.PixelFormat(), to);
  }
}

TEST(ConvertPlatform, ToNoneEmptiesTheImageAndKeepsAlpha) {
  auto b = Make(pxTBitmap, 6, 3, pxBGR24);
  PaintAlpha(*b);
  b->SetPixelFormat(pxNone);
  EXPECT_EQ(b->PixelFormat(), pxNone);
  EXPECT_EQ(b->Scanline(0), nullptr);
  EXPECT_TRUE(AlphaIntact(*b, 6, 3));
}
