#include "core/pxblend.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {

namespace {

inline int32_t Clamp255(int32_t v) { return BLimit(v); }

// Colour dodge: brightens d by s.
inline int32_t Dodge(int32_t s, int32_t d) { return s == 255 ? 255 : std::min(255, (d * 256) / (255 - s)); }
// Colour burn: darkens d by s.
inline int32_t Burn(int32_t s, int32_t d) { return s == 0 ? 0 : std::max(0, 255 - ((255 - d) << 8) / s); }
// Dodge at half strength below the middle, burn at half strength above.
inline int32_t HalfDodgeBurn(int32_t s, int32_t d) {
  if (s + d < 256) return s == 255 ? 255 : std::min(255, (d * 128) / (255 - s));
  return std::max(0, 255 - ((255 - s) << 7) / d);  // s + d >= 256, so d >= 1
}
inline int32_t Reflect(int32_t s, int32_t d) { return s == 255 ? 255 : std::min(255, (d * d) / (255 - s)); }
inline int32_t Freeze(int32_t s, int32_t d) {
  return s == 0 ? 0 : std::max(0, 255 - ((255 - d) * (255 - d)) / s);
}
// Overlay with the test on d; the subtraction from 255 is an exclusive or,
// exact because the product shifted by 7 stays below 255 on this branch.
inline int32_t Overlay(int32_t s, int32_t d) {
  if (d >= 128) return (((255 - s) * (255 - d)) >> 7) ^ 255;
  return (s * d) >> 7;
}
inline int32_t SoftLight(int32_t s, int32_t d) {
  const double c = s / 255.0;
  const double e = d / 255.0;
  const double v = c >= 0.5 ? std::sqrt(e) * (2.0 * c - 1.0) + 2.0 * e * (1.0 - c)
                            : e * e * (1.0 - 2.0 * c) + 2.0 * c * e;
  return Clamp255(TruncToInt32(v * 255.0));
}

}  // namespace

int32_t BlendChannel(int32_t s, int32_t d, uint8_t mode) {
  switch (mode) {
    case 0: return s;
    case 1: return std::min(255, d + s);
    case 2: return std::abs(d - s);
    case 3: return Clamp255(d / std::max(s, 1));
    case 4: return (s * d) >> 8;
    case 5: return d | s;
    case 6: return d & s;
    case 7: return d ^ s;
    case 8: return std::max(d, s);
    case 9: return std::min(d, s);
    case 10: return (d + s) >> 1;
    case 11: return (((255 - d) * (255 - s)) >> 8) ^ 255;
    case 12: return 255 - std::abs(255 - s - d);
    case 13: return d + s - (s * d) / 128;
    case 14: return Overlay(s, d);
    case 15: return Overlay(d, s);
    case 16: return SoftLight(s, d);
    case 17: {
      const int32_t m = (s * d) >> 8;
      const int32_t k = 255 - (((255 - d) * (255 - s)) >> 8) - m;
      return m + ((d * k) >> 8);
    }
    case 18: return Dodge(s, d);
    case 19: return Burn(s, d);
    case 20: return Dodge(d, s);
    case 21: return Burn(d, s);
    case 22: return HalfDodgeBurn(s, d);
    case 23: return HalfDodgeBurn(d, s);
    case 24: return Reflect(s, d);
    case 25: return Reflect(d, s);
    case 26: return Freeze(s, d);
    case 27: return Freeze(d, s);
    case 28: return Clamp255(d + s - 256);
    case 29: return std::min<int32_t>(255, CosineTable[s] + CosineTable[d]);
    case 30: return Clamp255(d + 2 * s - 256);
    default: return d;
  }
}

void BlendPixel(const uint8_t* src, uint8_t* dst, uint8_t mode) {
  if (mode < kPXFirstPixelBlendMode) {
    for (int c = 0; c < 3; ++c) dst[c] = static_cast<uint8_t>(BlendChannel(src[c], dst[c], mode));
    return;
  }
  switch (mode) {
    case 31: dst[2] = src[2]; return;  // red
    case 32: dst[1] = src[1]; return;  // green
    case 33: dst[0] = src[0]; return;  // blue
    case 34:
    case 35:
    case 36:
    case 37: {
      double sh, ss, sl, dh, ds, dl;
      RGBToHSL(TBGR{src[0], src[1], src[2]}, sh, ss, sl);
      RGBToHSL(TBGR{dst[0], dst[1], dst[2]}, dh, ds, dl);
      double h = dh, s = ds, l = dl;
      if (mode == 34) {
        h = sh;
      } else if (mode == 35) {
        s = ss;
      } else if (mode == 36) {
        h = sh, s = ss;
      } else {
        h = sh, l = sl;
      }
      const TBGR out = HSLToRGB(h, s, l);
      dst[0] = out.b, dst[1] = out.g, dst[2] = out.r;
      return;
    }
    default: return;  // undefined modes leave the destination alone
  }
}

void BlendPixel(const TBGR& source, TBGR& dest, uint8_t mode) {
  const uint8_t s[3] = {source.b, source.g, source.r};
  uint8_t d[3] = {dest.b, dest.g, dest.r};
  BlendPixel(s, d, mode);
  dest = TBGR{d[0], d[1], d[2]};
}

}  // namespace pixoran
