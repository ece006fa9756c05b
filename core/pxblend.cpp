#include "core/pxblend.h"

#include <algorithm>
#include <array>
#include <utility>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

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

// The per-channel formula of mode M (0..30); everything else takes d.
template <int M>
inline int32_t Op(int32_t s, int32_t d) {
  if constexpr (M == 0) return s;
  else if constexpr (M == 1) return std::min(255, d + s);
  else if constexpr (M == 2) return std::abs(d - s);
  else if constexpr (M == 3) return Clamp255(d / std::max(s, 1));
  else if constexpr (M == 4) return (s * d) >> 8;
  else if constexpr (M == 5) return d | s;
  else if constexpr (M == 6) return d & s;
  else if constexpr (M == 7) return d ^ s;
  else if constexpr (M == 8) return std::max(d, s);
  else if constexpr (M == 9) return std::min(d, s);
  else if constexpr (M == 10) return (d + s) >> 1;
  else if constexpr (M == 11) return (((255 - d) * (255 - s)) >> 8) ^ 255;
  else if constexpr (M == 12) return 255 - std::abs(255 - s - d);
  else if constexpr (M == 13) return d + s - ((s * d) >> 7);  // s * d >= 0: the shift is the division by 128
  else if constexpr (M == 14) return Overlay(s, d);
  else if constexpr (M == 15) return Overlay(d, s);
  else if constexpr (M == 16) return SoftLight(s, d);
  else if constexpr (M == 17) {
    const int32_t m = (s * d) >> 8;
    const int32_t k = 255 - (((255 - d) * (255 - s)) >> 8) - m;
    return m + ((d * k) >> 8);
  } else if constexpr (M == 18) return Dodge(s, d);
  else if constexpr (M == 19) return Burn(s, d);
  else if constexpr (M == 20) return Dodge(d, s);
  else if constexpr (M == 21) return Burn(d, s);
  else if constexpr (M == 22) return HalfDodgeBurn(s, d);
  else if constexpr (M == 23) return HalfDodgeBurn(d, s);
  else if constexpr (M == 24) return Reflect(s, d);
  else if constexpr (M == 25) return Reflect(d, s);
  else if constexpr (M == 26) return Freeze(s, d);
  else if constexpr (M == 27) return Freeze(d, s);
  else if constexpr (M == 28) return Clamp255(d + s - 256);
  else if constexpr (M == 29) return std::min<int32_t>(255, CosineTable[s] + CosineTable[d]);
  else if constexpr (M == 30) return Clamp255(d + 2 * s - 256);
  else return d;
}

// Modes whose formula divides or takes a root run through a
// 256 x 256 table of their own results instead; the others are plain
// integer arithmetic the compiler vectorises.
constexpr bool UsesTable(int m) { return m == 3 || m == 16 || (m >= 18 && m <= 27); }

template <int M>
const uint8_t* ModeTable() {
  static const std::unique_ptr<uint8_t[]> table = [] {
    auto t = std::make_unique<uint8_t[]>(65536);
    for (int32_t s = 0; s < 256; ++s)
      for (int32_t d = 0; d < 256; ++d) t[(s << 8) | d] = static_cast<uint8_t>(Op<M>(s, d));
    return t;
  }();
  return table.get();
}

// Bytes handled per step when the output is one of the inputs: worked into
// a small buffer, then stored, so the kernels may assume no aliasing.
constexpr size_t kChunk = 3 * 512;

template <int M>
void ChannelBytes(const uint8_t* __restrict s, const uint8_t* __restrict d, uint8_t* __restrict o, size_t count) {
  if constexpr (UsesTable(M)) {
    const uint8_t* t = ModeTable<M>();
    for (size_t j = 0; j < count; ++j) o[j] = t[(s[j] << 8) | d[j]];
  } else {
    for (size_t j = 0; j < count; ++j) o[j] = static_cast<uint8_t>(Op<M>(s[j], d[j]));
  }
}

template <int M>
void ChannelRow(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  if (n <= 0) return;
  const size_t count = 3 * static_cast<size_t>(n);
  if (out != src && out != dst) {
    ChannelBytes<M>(src, dst, out, count);
    return;
  }
  uint8_t buf[kChunk];
  for (size_t k = 0; k < count; k += kChunk) {
    const size_t len = std::min(kChunk, count - k);
    ChannelBytes<M>(src + k, dst + k, buf, len);
    std::memcpy(out + k, buf, len);
  }
}

// Modes 31..33: one channel (red, green, blue) from the source.
template <int Channel>
void ChannelCopyRow(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const uint8_t* s = src + 3 * static_cast<size_t>(i);
    const uint8_t* d = dst + 3 * static_cast<size_t>(i);
    uint8_t* o = out + 3 * static_cast<size_t>(i);
    const uint8_t taken = s[Channel];
    const uint8_t b = d[0], g = d[1], r = d[2];
    o[0] = b, o[1] = g, o[2] = r;
    o[Channel] = taken;
  }
}

void KeepRow(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  if (n > 0 && out != dst) std::memcpy(out, dst, 3 * static_cast<size_t>(n));
}

// ---------------------------------------------------------------- HSL modes
// The arithmetic of RGBToHSL and HSLToRGB, step for step in the same
// double operations so every byte comes out the same, but inline, with the
// rounding done without a library call and only the components a mode uses.

// Round half to even of a value well inside +-2^51: adding and taking away
// 1.5 * 2^52 leaves no fraction bits, and the default rounding mode rounds
// that sum to even.
inline int32_t RoundNear(double v) {
  constexpr double kMagic = 6755399441055744.0;
  return static_cast<int32_t>((v + kMagic) - kMagic);
}
inline uint8_t UnitByte(double v) { return BLimit(RoundNear(v * 255.0)); }

inline double Wrap(double h) {
  if (h < 0.0) h += 1.0;
  if (h > 1.0) h -= 1.0;
  return h;
}

// Every candidate is computed and one picked, so the choice compiles to
// selects rather than branches a noisy picture would keep mispredicting.
inline double HueChannel(double m1, double m2, double h) {
  h = h < 0.0 ? h + 1.0 : h;
  h = h > 1.0 ? h - 1.0 : h;
  const double rising = m1 + (m2 - m1) * 6.0 * h;
  const double falling = m1 + (m2 - m1) * (2.0 / 3.0 - h) * 6.0;
  const double late = 3.0 * h < 2.0 ? falling : m1;
  const double mid = 2.0 * h < 1.0 ? m2 : late;
  return 6.0 * h < 1.0 ? rising : mid;
}

// v / 255.0 for every byte: the same doubles the divisions give, looked up.
constexpr std::array<double, 256> MakeUnitTable() {
  std::array<double, 256> t{};
  for (int v = 0; v < 256; ++v) t[static_cast<size_t>(v)] = v / 255.0;
  return t;
}
constexpr std::array<double, 256> kUnit = MakeUnitTable();

struct THSL {
  double h = 0.0, s = 0.0, l = 0.0;
};

// p is blue, green, red. Hue and saturation only when asked for.
template <bool WantHue, bool WantSat>
inline THSL ToHSL(const uint8_t* p) {
  const int32_t ib = p[0], ig = p[1], ir = p[2];
  const int32_t imax = std::max(ir, std::max(ig, ib)), imin = std::min(ir, std::min(ig, ib));
  const double mx = kUnit[static_cast<size_t>(imax)], mn = kUnit[static_cast<size_t>(imin)];
  THSL o;
  o.l = (mx + mn) / 2.0;
  if (imax == imin) return o;
  const double d = mx - mn;
  if constexpr (WantSat) {
    // One division whichever half the lightness is in.
    const double denominator = o.l >= 0.5 ? 2.0 - mx - mn : mx + mn;
    o.s = d / denominator;
  }
  if constexpr (WantHue) {
    const double r = kUnit[static_cast<size_t>(ir)], g = kUnit[static_cast<size_t>(ig)], b = kUnit[static_cast<size_t>(ib)];
    // One division: the numerator and the sector are picked first. Adding
    // 0.0 in the red sector changes no value the later steps can tell apart.
    const bool redMax = imax == ir, greenMax = !redMax && imax == ig;
    const double num = redMax ? g - b : (greenMax ? b - r : r - g);
    const double sector = redMax ? 0.0 : (greenMax ? 2.0 : 4.0);
    const double h = num / d + sector;
    o.h = h / 6.0;
    o.h = o.h < 0.0 ? o.h + 1.0 : o.h;
  }
  return o;
}

inline void FromHSL(THSL c, uint8_t* o) {
  const double hue = Wrap(c.h);
  const double sat = std::clamp(c.s, 0.0, 1.0);
  const double lig = std::clamp(c.l, 0.0, 1.0);
  if (sat == 0.0) {
    o[0] = o[1] = o[2] = UnitByte(lig);
    return;
  }
  const double m2 = lig <= 0.5 ? lig * (1.0 + sat) : lig + sat - lig * sat;
  const double m1 = 2.0 * lig - m2;
  o[2] = UnitByte(HueChannel(m1, m2, hue + 1.0 / 3.0));
  o[1] = UnitByte(HueChannel(m1, m2, hue));
  o[0] = UnitByte(HueChannel(m1, m2, hue - 1.0 / 3.0));
}

// 34 hue, 35 saturation, 36 hue and saturation, 37 hue and lightness from
// the source; the rest from the destination.
template <int M>
void HSLRow(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  constexpr bool srcSat = M == 35 || M == 36;
  constexpr bool srcHue = M != 35;
  constexpr bool dstSat = !srcSat;
  constexpr bool dstHue = !srcHue;
  for (int32_t i = 0; i < n; ++i) {
    const size_t k = 3 * static_cast<size_t>(i);
    const THSL a = ToHSL<srcHue, srcSat>(src + k);
    THSL c = ToHSL<dstHue, dstSat>(dst + k);
    if constexpr (srcHue) c.h = a.h;
    if constexpr (srcSat) c.s = a.s;
    if constexpr (M == 37) c.l = a.l;
    FromHSL(c, out + k);
  }
}

template <int M>
constexpr TPXBlendRowFunc RowOf() {
  if constexpr (M < kPXFirstPixelBlendMode) return ChannelRow<M>;
  else if constexpr (M == 31) return ChannelCopyRow<2>;
  else if constexpr (M == 32) return ChannelCopyRow<1>;
  else if constexpr (M == 33) return ChannelCopyRow<0>;
  else return HSLRow<M>;
}

template <size_t... M>
constexpr std::array<TPXBlendRowFunc, sizeof...(M)> MakeRowTable(std::index_sequence<M...>) {
  return {RowOf<static_cast<int>(M)>()...};
}
constexpr auto kRowFuncs = MakeRowTable(std::make_index_sequence<kPXBlendModeCount>{});

template <size_t... M>
constexpr std::array<int32_t (*)(int32_t, int32_t), sizeof...(M)> MakeOpTable(std::index_sequence<M...>) {
  return {Op<static_cast<int>(M)>...};
}
constexpr auto kChannelOps = MakeOpTable(std::make_index_sequence<kPXFirstPixelBlendMode>{});

}  // namespace

TPXBlendRowFunc BlendRowFunc(uint8_t mode) { return mode < kPXBlendModeCount ? kRowFuncs[mode] : KeepRow; }

int32_t BlendChannel(int32_t s, int32_t d, uint8_t mode) {
  return mode < kPXFirstPixelBlendMode ? kChannelOps[mode](s, d) : d;
}

void BlendPixel(const uint8_t* src, uint8_t* dst, uint8_t mode) { BlendRowFunc(mode)(src, dst, dst, 1); }

void BlendPixel(const TBGR& source, TBGR& dest, uint8_t mode) {
  const uint8_t s[3] = {source.b, source.g, source.r};
  uint8_t d[3] = {dest.b, dest.g, dest.r};
  BlendPixel(s, d, mode);
  dest = TBGR{d[0], d[1], d[2]};
}

}  // namespace pixoran
