#include "core/pxblend.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>
#include <algorithm>

#include "core/kopxutils_helpers.h"

namespace pixoran {
namespace {

TBGR Blend(TBGR src, TBGR dst, uint8_t mode) {
  BlendPixel(src, dst, mode);
  return dst;
}
TBGR Gray(uint8_t v) { return TBGR{v, v, v}; }

// Every per-channel mode over every pair of channel values: the raw result
// must already be a byte (nothing is left to a wrapping store).
TEST(BlendModes, EveryChannelModeStaysInByteRange) {
  for (int mode = 0; mode < kPXFirstPixelBlendMode; ++mode) {
    int lo = 256, hi = -1;
    for (int s = 0; s < 256; ++s) {
      for (int d = 0; d < 256; ++d) {
        const int32_t v = BlendChannel(s, d, static_cast<uint8_t>(mode));
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    }
    EXPECT_GE(lo, 0) << "mode " << mode;
    EXPECT_LE(hi, 255) << "mode " << mode;
  }
}

// The whole-pixel modes over a coarse colour grid: the channels they do not
// own stay put, and the HSL modes never fail on greys, primaries or extremes.
TEST(BlendModes, WholePixelModesOverAColourGrid) {
  const uint8_t levels[] = {0, 1, 64, 127, 128, 200, 254, 255};
  for (uint8_t sb : levels)
    for (uint8_t sr : levels)
      for (uint8_t db : levels)
        for (uint8_t dg : levels) {
          const TBGR s{sb, 77, sr}, d{db, dg, 13};
          EXPECT_EQ(Blend(s, d, 31), (TBGR{db, dg, sr}));
          EXPECT_EQ(Blend(s, d, 32), (TBGR{db, 77, 13}));
          EXPECT_EQ(Blend(s, d, 33), (TBGR{sb, dg, 13}));
          for (uint8_t m = 34; m <= 37; ++m) (void)Blend(s, d, m);
        }
}

// Values worked out by hand from the mode table for a few pairs (s, d).
TEST(BlendModes, ChannelModesMatchTheTable) {
  struct Row {
    int s, d;
    std::array<int, 31> want;
  };
  const Row rows[] = {
      {100, 200, {100, 255, 100, 2,   78,  236, 64,  172, 200, 100, 150, 222, 210, 144, 189, 156,
                  190, 190, 255, 115, 255, 57,  156, 185, 255, 181, 225, 135, 44,  157, 144}},
      {200, 100, {200, 255, 100, 0,  78,  236, 64,  172, 200, 100, 150, 222, 210, 144, 156, 189,
                  133, 134, 255, 57, 255, 115, 185, 156, 181, 255, 135, 225, 44,  157, 244}},
      {100, 50, {100, 150, 50, 0, 19,  118, 32, 86, 100, 50, 75, 131, 150, 111, 39, 39,
                 41,  40,  82, 0, 124, 0,   41, 62, 16,  48, 0,  0,   0,   55,  0}},
      {30, 240, {30,  255, 210, 8,   28,  254, 16,  238, 240, 30, 135, 242, 240, 214, 229, 56,
                 229, 228, 255, 127, 255, 15,  135, 191, 255, 60, 248, 45,  14,  131, 44}},
  };
  for (const Row& r : rows)
    for (int mode = 0; mode < 31; ++mode)
      EXPECT_EQ(BlendChannel(r.s, r.d, static_cast<uint8_t>(mode)), r.want[static_cast<size_t>(mode)])
          << "mode " << mode << " s " << r.s << " d " << r.d;
}

TEST(BlendModes, EdgeValues) {
  // Copy: the destination does not matter.
  EXPECT_EQ(Blend(TBGR{1, 2, 3}, TBGR{250, 251, 252}, 0), (TBGR{1, 2, 3}));
  // Division by a zero source divides by 1.
  EXPECT_EQ(Blend(Gray(0), TBGR{0, 77, 255}, 3), (TBGR{0, 77, 255}));
  // Dodge and burn at their guarded ends.
  EXPECT_EQ(BlendChannel(255, 0, 18), 255);
  EXPECT_EQ(BlendChannel(255, 200, 18), 255);
  EXPECT_EQ(BlendChannel(0, 255, 19), 0);
  EXPECT_EQ(BlendChannel(0, 0, 19), 0);
  // Their exchanged forms guard on d.
  EXPECT_EQ(BlendChannel(0, 255, 20), 255);
  EXPECT_EQ(BlendChannel(255, 0, 21), 0);
  // Mode 13 at the corners.
  EXPECT_EQ(BlendChannel(255, 255, 13), 2);
  EXPECT_EQ(BlendChannel(255, 0, 13), 255);
  EXPECT_EQ(BlendChannel(0, 0, 13), 0);
  // The cosine table: 0 + 0 and 128 + 128 capped.
  EXPECT_EQ(CosineTable[0], 0);
  EXPECT_EQ(CosineTable[255], 128);
  EXPECT_EQ(BlendChannel(0, 0, 29), 0);
  EXPECT_EQ(BlendChannel(255, 255, 29), 255);
  EXPECT_EQ(BlendChannel(255, 0, 29), 128);
  // Half dodge below the middle at s = 255 (only d = 0 gets there).
  EXPECT_EQ(BlendChannel(255, 0, 22), 255);
  EXPECT_EQ(BlendChannel(0, 255, 23), 255);
  // Clamped sums at both ends.
  EXPECT_EQ(BlendChannel(255, 255, 1), 255);
  EXPECT_EQ(BlendChannel(0, 255, 28), 0);
  EXPECT_EQ(BlendChannel(255, 255, 28), 254);
  EXPECT_EQ(BlendChannel(255, 255, 30), 255);
  EXPECT_EQ(BlendChannel(127, 1, 30), 0);
  EXPECT_EQ(BlendChannel(128, 1, 30), 1);
  // Screen and the overlays at the extremes.
  EXPECT_EQ(BlendChannel(0, 0, 11), 255 - ((255 * 255) >> 8));
  EXPECT_EQ(BlendChannel(255, 255, 11), 255);
  EXPECT_EQ(BlendChannel(0, 128, 14), 255 - ((255 * 127) >> 7));
  EXPECT_EQ(BlendChannel(255, 127, 14), (255 * 127) >> 7);
  EXPECT_EQ(BlendChannel(128, 0, 15), 255 - ((255 * 127) >> 7));
}

// Soft light works channel by channel: blue sees s = 255, green and red s = 0.
TEST(BlendModes, SoftLightPerChannel) {
  const TBGR out = Blend(TBGR{255, 0, 0}, Gray(128), 16);
  EXPECT_EQ(out.b, 180);  // sqrt(128/255) * 255 = 180.66
  EXPECT_EQ(out.g, 64);   // (128/255)^2 * 255 = 64.25
  EXPECT_EQ(out.r, 64);
  EXPECT_EQ(BlendChannel(255, 255, 16), 255);
  EXPECT_EQ(BlendChannel(0, 0, 16), 0);
}

TEST(BlendModes, SingleChannelCopies) {
  const TBGR s{10, 20, 30}, d{200, 210, 220};
  EXPECT_EQ(Blend(s, d, 31), (TBGR{200, 210, 30}));
  EXPECT_EQ(Blend(s, d, 32), (TBGR{200, 20, 220}));
  EXPECT_EQ(Blend(s, d, 33), (TBGR{10, 210, 220}));
}

TEST(BlendModes, UndefinedModesChangeNothing) {
  const TBGR s{10, 20, 30}, d{200, 210, 220};
  for (int mode = kPXBlendModeCount; mode < 256; ++mode) EXPECT_EQ(Blend(s, d, static_cast<uint8_t>(mode)), d);
}

TEST(BlendModes, HSLModes) {
  const TBGR red{0, 0, 255}, green{0, 255, 0}, blue{255, 0, 0};
  // Hue from the source.
  EXPECT_EQ(Blend(green, red, 34), green);
  EXPECT_EQ(Blend(red, blue, 34), red);
  // Saturation from a grey source: the destination loses its colour and
  // keeps its lightness 0.5, which rounds (half to even) to 128.
  EXPECT_EQ(Blend(Gray(200), green, 35), Gray(128));
  // Hue and saturation of red at the lightness of grey 64: m2 = 128/255.
  EXPECT_EQ(Blend(red, Gray(64), 36), (TBGR{0, 0, 128}));
  // Hue and lightness of red with the saturation of grey: grey 0.5.
  EXPECT_EQ(Blend(red, Gray(64), 37), Gray(128));
  // A pixel blended over itself comes back.
  for (uint8_t m = 34; m <= 37; ++m) {
    EXPECT_EQ(Blend(red, red, m), red);
    EXPECT_EQ(Blend(Gray(77), Gray(77), m), Gray(77));
  }
}

// Modes defined as another with s and d exchanged, and modes that do not
// depend on the order, over every pair of values.
TEST(BlendModes, ExchangedPairsAndSymmetricModes) {
  const int pairs[][2] = {{15, 14}, {20, 18}, {21, 19}, {23, 22}, {25, 24}, {27, 26}};
  const int symmetric[] = {1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 28, 29};
  for (int s = 0; s < 256; ++s) {
    for (int d = 0; d < 256; ++d) {
      for (const auto& p : pairs)
        ASSERT_EQ(BlendChannel(s, d, static_cast<uint8_t>(p[0])), BlendChannel(d, s, static_cast<uint8_t>(p[1])))
            << "modes " << p[0] << "/" << p[1] << " s " << s << " d " << d;
      for (int m : symmetric)
        ASSERT_EQ(BlendChannel(s, d, static_cast<uint8_t>(m)), BlendChannel(d, s, static_cast<uint8_t>(m)))
            << "mode " << m << " s " << s << " d " << d;
    }
  }
}

// The pixel form applies the channel function to each of the three bytes.
TEST(BlendModes, PixelAppliesEachChannel) {
  const TBGR s{100, 200, 30}, d{200, 100, 240};
  for (int mode = 0; mode < kPXFirstPixelBlendMode; ++mode) {
    const auto m = static_cast<uint8_t>(mode);
    const TBGR out = Blend(s, d, m);
    EXPECT_EQ(out.b, BlendChannel(100, 200, m)) << mode;
    EXPECT_EQ(out.g, BlendChannel(200, 100, m)) << mode;
    EXPECT_EQ(out.r, BlendChannel(30, 240, m)) << mode;
  }
  // The byte-pointer form is the same operation.
  const uint8_t src[3] = {100, 200, 30};
  uint8_t dst[3] = {200, 100, 240};
  BlendPixel(src, dst, 17);
  const TBGR out = Blend(s, d, 17);
  EXPECT_EQ(dst[0], out.b);
  EXPECT_EQ(dst[1], out.g);
  EXPECT_EQ(dst[2], out.r);
}

// The row kernels against the per-pixel formulas as they stood before rows
// existed: for each mode, a million pseudo-random pixel pairs (the first
// 65536 walk every pair of blue values) blended in runs of varied length,
// in place and into the source, hashed; the hashes were taken from the
// per-pixel code.
TEST(BlendModes, RowKernelsGiveThePerPixelBytes) {
  static constexpr uint64_t kWant[kPXBlendModeCount] = {
      0x141e6e4fba9667f8ull, 0x07f4e0e24beafc5eull, 0xd7c8e55ab4abeebdull, 0x26ce5fd813731a51ull, 0x8eafa71a6b04c1beull,
      0xd54cd90570489b48ull, 0x5482a8aa4b678d1eull, 0x56e3e720264ff2ddull, 0xdb48af2b5d4c9136ull, 0x8067415e7b2b5794ull,
      0x1f67ca7044f9c339ull, 0x645d5e53daf4bfe7ull, 0xc5f1615ad1cb8629ull, 0x64f4f36306fc363bull, 0xfcb68ab78619ad8bull,
      0xd47a01773a9171abull, 0x2a358cfa699e2935ull, 0xc61e2304bfa71450ull, 0xcca0efbe9ad25067ull, 0x19dbcf0a1b737259ull,
      0xa0c0a97a1e18160cull, 0x53e7b9107a50d955ull, 0x4cbaf0dd828b781full, 0x08324f8a7ce13e98ull, 0xd4894d898ac9de6bull,
      0x8f41101f526b6670ull, 0x158293120fa9db97ull, 0xc9f3cf6492b1ba9aull, 0x88857f9f91192bafull, 0x3f2161f26cc775e8ull,
      0x5a6b95fd03fba915ull, 0xb9127e4bda890bb7ull, 0x2e07308e63afb0a3ull, 0xc33b0429d970c504ull, 0xe36d19d991cc7086ull,
      0x4e5563532b31acd9ull, 0x39d411103e62d419ull, 0x600f9a22457c284aull};
  constexpr int32_t kPixels = 1 << 20;
  std::vector<uint8_t> src(3 * kPixels), dst(3 * kPixels);
  uint32_t r = 2463534242u;
  auto next = [&r] {
    r ^= r << 13, r ^= r >> 17, r ^= r << 5;
    return static_cast<uint8_t>(r);
  };
  for (int32_t i = 0; i < kPixels; ++i)
    for (int c = 0; c < 3; ++c) {
      src[3 * i + c] = next();
      dst[3 * i + c] = next();
    }
  for (int32_t i = 0; i < 65536; ++i) src[3 * i] = static_cast<uint8_t>(i), dst[3 * i] = static_cast<uint8_t>(i >> 8);
  for (int mode = 0; mode < kPXBlendModeCount; ++mode) {
    const auto m = static_cast<uint8_t>(mode);
    for (bool intoSource : {false, true}) {
      std::vector<uint8_t> s = src, d = dst;
      // Runs of 1 to 2000 pixels, so chunk edges and odd tails are crossed.
      for (int32_t at = 0, len = 1; at < kPixels; at += len, len = len % 2000 + 7) {
        const int32_t n = std::min(len, kPixels - at);
        uint8_t* ps = s.data() + 3 * static_cast<size_t>(at);
        uint8_t* pd = d.data() + 3 * static_cast<size_t>(at);
        BlendRowFunc(m)(ps, pd, intoSource ? ps : pd, n);
      }
      const std::vector<uint8_t>& out = intoSource ? s : d;
      uint64_t h = 1469598103934665603ull;
      for (uint8_t v : out) h = (h ^ v) * 1099511628211ull;
      EXPECT_EQ(h, kWant[mode]) << "mode " << mode << (intoSource ? " into the source" : " in place");
    }
  }
}

// The AVX2 row kernels against the portable ones (which the hashes above
// check where AVX2 is missing): every pair of channel values, then noise,
// in runs of varied length, in place and into the source.
TEST(BlendModes, VectorRowsGiveThePortableBytes) {
  if (!SetBlendVectorRows(true)) GTEST_SKIP() << "no AVX2 here";
  constexpr int32_t kPixels = 1 << 18;
  std::vector<uint8_t> src(3 * kPixels), dst(3 * kPixels);
  uint32_t r = 88172645u;
  for (int32_t i = 0; i < kPixels; ++i)
    for (int c = 0; c < 3; ++c) {
      r ^= r << 13, r ^= r >> 17, r ^= r << 5;
      src[3 * i + c] = static_cast<uint8_t>(r);
      dst[3 * i + c] = static_cast<uint8_t>(r >> 8);
    }
  // Each byte of the first 65536 pixels walks every (s, d) pair.
  for (int32_t i = 0; i < 3 * 65536; ++i)
    src[i] = static_cast<uint8_t>(i / 3), dst[i] = static_cast<uint8_t>(i / 3 >> 8);
  const auto blend = [&](uint8_t mode, bool intoSource) {
    std::vector<uint8_t> s = src, d = dst;
    for (int32_t at = 0, len = 1; at < kPixels; at += len, len = len % 1500 + 5) {
      const int32_t n = std::min(len, kPixels - at);
      uint8_t* ps = s.data() + 3 * static_cast<size_t>(at);
      uint8_t* pd = d.data() + 3 * static_cast<size_t>(at);
      BlendRowFunc(mode)(ps, pd, intoSource ? ps : pd, n);
    }
    return intoSource ? s : d;
  };
  for (int mode = 0; mode < kPXBlendModeCount; ++mode)
    for (bool intoSource : {false, true}) {
      const auto m = static_cast<uint8_t>(mode);
      SetBlendVectorRows(true);
      const std::vector<uint8_t> vector = blend(m, intoSource);
      SetBlendVectorRows(false);
      const std::vector<uint8_t> portable = blend(m, intoSource);
      ASSERT_TRUE(vector == portable) << "mode " << mode << (intoSource ? " into the source" : " in place");
    }
  SetBlendVectorRows(true);
}

}  // namespace
}  // namespace pixoran
