#include "core/pxblend.h"

#include <algorithm>
#include <array>
#include <utility>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/kopxutils_helpers.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define PX_BLEND_AVX2 1
#include <immintrin.h>
#else
#define PX_BLEND_AVX2 0
#endif

namespace pixoran {

namespace {

// The modes by name. A layer stores its mode as the number; these names
// only make the formulas below readable.
enum TBlendMode : int {
  bmCopy = 0,
  bmAdd = 1,
  bmDifference = 2,
  bmDivide = 3,
  bmMultiply = 4,
  bmOr = 5,
  bmAnd = 6,
  bmXor = 7,
  bmLighten = 8,
  bmDarken = 9,
  bmAverage = 10,
  bmScreen = 11,
  bmNegation = 12,
  bmExclusion = 13,
  bmOverlay = 14,
  bmHardLight = 15,
  bmSoftLight = 16,
  bmSoftLightMix = 17,
  bmColorDodge = 18,
  bmColorBurn = 19,
  bmInverseDodge = 20,
  bmInverseBurn = 21,
  bmSoftDodge = 22,
  bmInverseSoftDodge = 23,
  bmReflect = 24,
  bmGlow = 25,
  bmFreeze = 26,
  bmHeat = 27,
  bmLinearBurn = 28,
  bmCosine = 29,
  bmLinearLight = 30,
  bmRedCopy = 31,
  bmGreenCopy = 32,
  bmBlueCopy = 33,
  bmHue = 34,
  bmSaturation = 35,
  bmHueSaturation = 36,
  bmHueLightness = 37,
};

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
inline int32_t Freeze(int32_t s, int32_t d) { return s == 0 ? 0 : std::max(0, 255 - ((255 - d) * (255 - d)) / s); }
// Overlay with the test on d; the subtraction from 255 is an exclusive or,
// exact because the product shifted by 7 stays below 255 on this branch.
inline int32_t Overlay(int32_t s, int32_t d) {
  if (d >= 128) return (((255 - s) * (255 - d)) >> 7) ^ 255;
  return (s * d) >> 7;
}
inline int32_t SoftLight(int32_t s, int32_t d) {
  const double c = s / 255.0;
  const double e = d / 255.0;
  const double v =
      c >= 0.5 ? std::sqrt(e) * (2.0 * c - 1.0) + 2.0 * e * (1.0 - c) : e * e * (1.0 - 2.0 * c) + 2.0 * c * e;
  return Clamp255(TruncToInt32(v * 255.0));
}

// The per-channel formula of mode M (0..30); everything else takes d.
template <int M>
inline int32_t Op(int32_t s, int32_t d) {
  if constexpr (M == bmCopy) return s;
  else if constexpr (M == bmAdd) return std::min(255, d + s);
  else if constexpr (M == bmDifference) return std::abs(d - s);
  else if constexpr (M == bmDivide) return Clamp255(d / std::max(s, 1));
  else if constexpr (M == bmMultiply) return (s * d) >> 8;
  else if constexpr (M == bmOr) return d | s;
  else if constexpr (M == bmAnd) return d & s;
  else if constexpr (M == bmXor) return d ^ s;
  else if constexpr (M == bmLighten) return std::max(d, s);
  else if constexpr (M == bmDarken) return std::min(d, s);
  else if constexpr (M == bmAverage) return (d + s) >> 1;
  else if constexpr (M == bmScreen) return (((255 - d) * (255 - s)) >> 8) ^ 255;
  else if constexpr (M == bmNegation) return 255 - std::abs(255 - s - d);
  else if constexpr (M == bmExclusion) return d + s - ((s * d) >> 7);  // s * d >= 0: the shift is the division by 128
  else if constexpr (M == bmOverlay) return Overlay(s, d);
  else if constexpr (M == bmHardLight) return Overlay(d, s);
  else if constexpr (M == bmSoftLight) return SoftLight(s, d);
  else if constexpr (M == bmSoftLightMix) {
    const int32_t m = (s * d) >> 8;
    const int32_t k = 255 - (((255 - d) * (255 - s)) >> 8) - m;
    return m + ((d * k) >> 8);
  } else if constexpr (M == bmColorDodge) return Dodge(s, d);
  else if constexpr (M == bmColorBurn) return Burn(s, d);
  else if constexpr (M == bmInverseDodge) return Dodge(d, s);
  else if constexpr (M == bmInverseBurn) return Burn(d, s);
  else if constexpr (M == bmSoftDodge) return HalfDodgeBurn(s, d);
  else if constexpr (M == bmInverseSoftDodge) return HalfDodgeBurn(d, s);
  else if constexpr (M == bmReflect) return Reflect(s, d);
  else if constexpr (M == bmGlow) return Reflect(d, s);
  else if constexpr (M == bmFreeze) return Freeze(s, d);
  else if constexpr (M == bmHeat) return Freeze(d, s);
  else if constexpr (M == bmLinearBurn) return Clamp255(d + s - 256);
  else if constexpr (M == bmCosine) return std::min<int32_t>(255, CosineTable[s] + CosineTable[d]);
  else if constexpr (M == bmLinearLight) return Clamp255(d + 2 * s - 256);
  else return d;
}

// Modes whose formula divides or takes a root run through a
// 256 x 256 table of their own results instead; the others are plain
// integer arithmetic the compiler vectorises.
constexpr bool UsesTable(int m) { return m == bmDivide || m == bmSoftLight || (m >= bmColorDodge && m <= bmHeat); }

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
    const double r = kUnit[static_cast<size_t>(ir)], g = kUnit[static_cast<size_t>(ig)],
                 b = kUnit[static_cast<size_t>(ib)];
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
  constexpr bool srcSat = M == bmSaturation || M == bmHueSaturation;
  constexpr bool srcHue = M != 35;
  constexpr bool dstSat = !srcSat;
  constexpr bool dstHue = !srcHue;
  for (int32_t i = 0; i < n; ++i) {
    const size_t k = 3 * static_cast<size_t>(i);
    const THSL a = ToHSL<srcHue, srcSat>(src + k);
    THSL c = ToHSL<dstHue, dstSat>(dst + k);
    if constexpr (srcHue) c.h = a.h;
    if constexpr (srcSat) c.s = a.s;
    if constexpr (M == bmHueLightness) c.l = a.l;
    FromHSL(c, out + k);
  }
}

template <int M>
constexpr TPXBlendRowFunc RowOf() {
  if constexpr (M < kPXFirstPixelBlendMode) return ChannelRow<M>;
  else if constexpr (M == bmRedCopy) return ChannelCopyRow<2>;
  else if constexpr (M == bmGreenCopy) return ChannelCopyRow<1>;
  else if constexpr (M == bmBlueCopy) return ChannelCopyRow<0>;
  else return HSLRow<M>;
}

template <size_t... M>
constexpr std::array<TPXBlendRowFunc, sizeof...(M)> MakeRowTable(std::index_sequence<M...>) {
  return {RowOf<static_cast<int>(M)>()...};
}
constexpr auto kRowFuncs = MakeRowTable(std::make_index_sequence<kPXBlendModeCount>{});

// ------------------------------------------------------------ AVX2 rows
// Chosen at run time where the processor has AVX2. Only plain AVX2: a fused
// multiply-add would round once where the portable code rounds twice and
// change bytes. The channel kernels below were checked against the portable
// ones over every pair of values.
#if PX_BLEND_AVX2
#define PX_AVX2 __attribute__((target("avx2")))

// Floating-point form of the dividing modes, on whole numbers held exactly
// in floats. A quotient of two such numbers below 2^17 truncates to the
// integer quotient: it is never within a rounding step of the next whole
// number above.
PX_AVX2 inline __m256 Trunc(__m256 v) { return _mm256_round_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
PX_AVX2 inline __m256 Pick(__m256 mask, __m256 yes, __m256 no) { return _mm256_blendv_ps(no, yes, mask); }
PX_AVX2 inline __m256 F(float v) { return _mm256_set1_ps(v); }
PX_AVX2 inline __m256 Eq(__m256 a, float v) { return _mm256_cmp_ps(a, F(v), _CMP_EQ_OQ); }

PX_AVX2 inline __m256 DodgeV(__m256 s, __m256 d) {
  const __m256 q = _mm256_div_ps(_mm256_mul_ps(d, F(256.0f)), _mm256_max_ps(_mm256_sub_ps(F(255.0f), s), F(1.0f)));
  return Pick(Eq(s, 255.0f), F(255.0f), _mm256_min_ps(q, F(255.0f)));
}
PX_AVX2 inline __m256 BurnV(__m256 s, __m256 d) {
  const __m256 q =
      Trunc(_mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(F(255.0f), d), F(256.0f)), _mm256_max_ps(s, F(1.0f))));
  return Pick(Eq(s, 0.0f), F(0.0f), _mm256_sub_ps(F(255.0f), q));
}
PX_AVX2 inline __m256 ReflectV(__m256 s, __m256 d) {
  const __m256 q = _mm256_div_ps(_mm256_mul_ps(d, d), _mm256_max_ps(_mm256_sub_ps(F(255.0f), s), F(1.0f)));
  return Pick(Eq(s, 255.0f), F(255.0f), _mm256_min_ps(q, F(255.0f)));
}
PX_AVX2 inline __m256 FreezeV(__m256 s, __m256 d) {
  const __m256 id = _mm256_sub_ps(F(255.0f), d);
  const __m256 q = Trunc(_mm256_div_ps(_mm256_mul_ps(id, id), _mm256_max_ps(s, F(1.0f))));
  return Pick(Eq(s, 0.0f), F(0.0f), _mm256_sub_ps(F(255.0f), q));
}

// Overlay, hard light and the half dodge and burn pair have 16-bit rows of
// their own, soft light a table.
constexpr bool HasFloatForm(int m) {
  return m == bmDivide || (m >= bmColorDodge && m <= bmHeat && m != bmSoftDodge && m != bmInverseSoftDodge);
}

// Result of mode M as a float (truncated to an integer on the way back;
// outside 0..255 only where the mode clamps, which the packing does).
template <int M>
PX_AVX2 inline __m256 FloatOp(__m256 s, __m256 d) {
  if constexpr (M == bmDivide) return _mm256_div_ps(d, _mm256_max_ps(s, F(1.0f)));
  else if constexpr (M == bmColorDodge) return DodgeV(s, d);
  else if constexpr (M == bmColorBurn) return BurnV(s, d);
  else if constexpr (M == bmInverseDodge) return DodgeV(d, s);
  else if constexpr (M == bmInverseBurn) return BurnV(d, s);
  else if constexpr (M == bmReflect) return ReflectV(s, d);
  else if constexpr (M == bmGlow) return ReflectV(d, s);
  else if constexpr (M == bmFreeze) return FreezeV(s, d);
  else return FreezeV(d, s);
}

PX_AVX2 inline __m256i Widen(const uint8_t* p) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// Modes read from their table, eight lookups in one gather: each reads four
// bytes and keeps the first, so the table has three to spare at the end.
// Soft light has no cheaper exact form.
constexpr bool GathersTable(int m) { return m == bmSoftLight; }

template <int M>
const uint8_t* PaddedTable() {
  static const std::unique_ptr<uint8_t[]> padded = [] {
    auto t = std::make_unique<uint8_t[]>(65536 + 3);
    std::memcpy(t.get(), ModeTable<M>(), 65536);
    t[65536] = t[65537] = t[65538] = 0;
    return t;
  }();
  return padded.get();
}

template <int M>
PX_AVX2 inline __m256i TableGather8(const uint8_t* s, const uint8_t* d) {
  const uint8_t* padded = PaddedTable<M>();
  const __m256i index = _mm256_or_si256(_mm256_slli_epi32(Widen(s), 8), Widen(d));
  const __m256i all = _mm256_set1_epi32(-1), none = _mm256_setzero_si256();
  const __m256i v = _mm256_mask_i32gather_epi32(none, reinterpret_cast<const int*>(padded), index, all, 1);
  return _mm256_and_si256(v, _mm256_set1_epi32(255));
}

// Eight results of mode M as 32-bit integers.
template <int M>
PX_AVX2 inline __m256i Eight(const uint8_t* s, const uint8_t* d) {
  if constexpr (GathersTable(M)) {
    return TableGather8<M>(s, d);
  } else if constexpr (M == bmCosine) {
    const int* t = CosineTable.data();
    const __m256i all = _mm256_set1_epi32(-1), none = _mm256_setzero_si256();
    return _mm256_add_epi32(_mm256_mask_i32gather_epi32(none, t, Widen(s), all, 4),
                            _mm256_mask_i32gather_epi32(none, t, Widen(d), all, 4));
  } else {
    const __m256 fs = _mm256_cvtepi32_ps(Widen(s)), fd = _mm256_cvtepi32_ps(Widen(d));
    return _mm256_cvttps_epi32(FloatOp<M>(fs, fd));
  }
}

// Reads each 32-byte block before it writes it, so out may be src or dst.
template <int M>
PX_AVX2 void FloatChannelRow(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  if (n <= 0) return;
  const size_t count = 3 * static_cast<size_t>(n);
  size_t j = 0;
  for (; j + 32 <= count; j += 32) {
    const __m256i a = _mm256_packus_epi32(Eight<M>(src + j, dst + j), Eight<M>(src + j + 8, dst + j + 8));
    const __m256i b = _mm256_packus_epi32(Eight<M>(src + j + 16, dst + j + 16), Eight<M>(src + j + 24, dst + j + 24));
    // The packs work within 128-bit halves: put the four-byte groups back
    // in order.
    const __m256i v = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a, b), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), v);
  }
  for (; j < count; ++j) out[j] = static_cast<uint8_t>(Op<M>(src[j], dst[j]));
}

// The plain integer modes: the portable loop, compiled for AVX2.
template <int M>
PX_AVX2 void IntChannelBytes(const uint8_t* __restrict s, const uint8_t* __restrict d, uint8_t* __restrict o,
                             size_t count) {
  for (size_t j = 0; j < count; ++j) o[j] = static_cast<uint8_t>(Op<M>(s[j], d[j]));
}

template <int M>
PX_AVX2 void IntChannelRow(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  if (n <= 0) return;
  const size_t count = 3 * static_cast<size_t>(n);
  if (out != src && out != dst) {
    IntChannelBytes<M>(src, dst, out, count);
    return;
  }
  uint8_t buf[kChunk];
  for (size_t k = 0; k < count; k += kChunk) {
    const size_t len = std::min(kChunk, count - k);
    IntChannelBytes<M>(src + k, dst + k, buf, len);
    std::memcpy(out + k, buf, len);
  }
}

// Overlay (14) and hard light (15, the same with s and d exchanged) in
// sixteen-bit lanes: both products stay below 2^16, so a 16-bit multiply
// and a logical shift give the integer formula exactly, and on the upper
// branch the result is below 256, so 255 minus it is the exclusive or.
template <bool Exchange>
PX_AVX2 inline __m256i Overlay16(__m128i src, __m128i dst) {
  const __m256i s = _mm256_cvtepu8_epi16(Exchange ? dst : src);
  const __m256i d = _mm256_cvtepu8_epi16(Exchange ? src : dst);
  const __m256i ff = _mm256_set1_epi16(255);
  const __m256i high = _mm256_cmpgt_epi16(d, _mm256_set1_epi16(127));
  const __m256i a = _mm256_blendv_epi8(s, _mm256_xor_si256(s, ff), high);
  const __m256i b = _mm256_blendv_epi8(d, _mm256_xor_si256(d, ff), high);
  const __m256i q = _mm256_srli_epi16(_mm256_mullo_epi16(a, b), 7);
  return _mm256_xor_si256(q, _mm256_and_si256(high, ff));
}

// Half dodge below the middle, half burn above (22; 23 the same with s and d
// exchanged) in sixteen-bit lanes: each lane picks its branch and that
// branch's numerator (below 2^15) and divisor in integers, and only the
// division, exact as above, goes through floats. Below the middle s = 255
// comes only with d = 0, where the quotient is 0 and the result 255; above
// it the quotient is below 128. The packing clamps what passes 255.
// Eight 16-bit numerators over eight 16-bit divisors, truncated, as 32-bit
// lanes.
PX_AVX2 inline __m256i Quotient8(__m128i n, __m128i v) {
  return _mm256_cvttps_epi32(
      _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(n)), _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(v))));
}

template <bool Exchange>
PX_AVX2 inline __m256i HalfDodgeBurn16(__m128i src, __m128i dst) {
  const __m256i s = _mm256_cvtepu8_epi16(Exchange ? dst : src);
  const __m256i d = _mm256_cvtepu8_epi16(Exchange ? src : dst);
  const __m256i c255 = _mm256_set1_epi16(255);
  const __m256i is = _mm256_sub_epi16(c255, s);
  const __m256i low = _mm256_cmpgt_epi16(_mm256_set1_epi16(256), _mm256_add_epi16(s, d));
  const __m256i num = _mm256_slli_epi16(_mm256_blendv_epi8(is, d, low), 7);
  const __m256i den = _mm256_max_epi16(_mm256_blendv_epi8(d, is, low), _mm256_set1_epi16(1));
  const __m256i qa = Quotient8(_mm256_castsi256_si128(num), _mm256_castsi256_si128(den));
  const __m256i qb = Quotient8(_mm256_extracti128_si256(num, 1), _mm256_extracti128_si256(den, 1));
  // The pack works within 128-bit halves: put the quarters back in order.
  const __m256i q = _mm256_permute4x64_epi64(_mm256_packus_epi32(qa, qb), 0xD8);
  const __m256i lowResult = _mm256_or_si256(q, _mm256_and_si256(_mm256_cmpeq_epi16(s, c255), c255));
  return _mm256_blendv_epi8(_mm256_sub_epi16(c255, q), lowResult, low);
}

// Sixteen results of mode M as 16-bit lanes.
template <int M>
PX_AVX2 inline __m256i Sixteen(__m128i src, __m128i dst) {
  if constexpr (M == bmOverlay) return Overlay16<false>(src, dst);
  else if constexpr (M == bmHardLight) return Overlay16<true>(src, dst);
  else if constexpr (M == bmSoftDodge) return HalfDodgeBurn16<false>(src, dst);
  else return HalfDodgeBurn16<true>(src, dst);
}

// Reads each 32-byte block before it writes it, so out may be src or dst.
template <int M>
PX_AVX2 void SixteenBitRow(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  if (n <= 0) return;
  const size_t count = 3 * static_cast<size_t>(n);
  size_t j = 0;
  for (; j + 32 <= count; j += 32) {
    const auto at = [](const uint8_t* p) PX_AVX2 { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m256i lo = Sixteen<M>(at(src + j), at(dst + j));
    const __m256i hi = Sixteen<M>(at(src + j + 16), at(dst + j + 16));
    // The pack works within 128-bit halves: put the quarters back in order.
    const __m256i v = _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), v);
  }
  for (; j < count; ++j) out[j] = static_cast<uint8_t>(Op<M>(src[j], dst[j]));
}

// HSL four pixels at a time, in the operations of ToHSL and FromHSL above,
// each lane computing every branch and keeping the one its pixel takes.
struct THSL4 {
  __m256d h, s, l;
};

PX_AVX2 inline __m256d D(double v) { return _mm256_set1_pd(v); }
PX_AVX2 inline __m256d PickD(__m256d mask, __m256d yes, __m256d no) { return _mm256_blendv_pd(no, yes, mask); }
PX_AVX2 inline __m256d Lt(__m256d a, __m256d b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }

// v / 255.0, correctly rounded as the division gives it, without dividing:
// 1/255 split into a head of 45 bits, whose product with a byte is exact,
// and a tail; the one rounding of their sum lands where the division's
// does, since v / 255 never lies that near a midpoint.
constexpr double kInv255Head = static_cast<double>(((uint64_t{1} << 52) - 16) / 255) / 4503599627370496.0;
constexpr double kInv255Tail = (16.0 / 255.0) / 4503599627370496.0;
PX_AVX2 inline __m256d Unit4(__m128i v) {
  const __m256d x = _mm256_cvtepi32_pd(v);
  return _mm256_add_pd(_mm256_mul_pd(x, D(kInv255Head)), _mm256_mul_pd(x, D(kInv255Tail)));
}

template <bool WantHue, bool WantSat>
PX_AVX2 inline THSL4 ToHSL4(__m128i ib, __m128i ig, __m128i ir) {
  const __m256d r = Unit4(ir), g = Unit4(ig), b = Unit4(ib);
  const __m256d mx = _mm256_max_pd(r, _mm256_max_pd(g, b)), mn = _mm256_min_pd(r, _mm256_min_pd(g, b));
  THSL4 o{_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_mul_pd(_mm256_add_pd(mx, mn), D(0.5))};
  // Grey lanes keep hue and saturation 0 (their divisions are discarded).
  const __m256d grey = _mm256_cmp_pd(mx, mn, _CMP_EQ_OQ);
  const __m256d d = _mm256_sub_pd(mx, mn);
  if constexpr (WantSat) {
    const __m256d upper = _mm256_cmp_pd(o.l, D(0.5), _CMP_GE_OQ);
    const __m256d den = PickD(upper, _mm256_sub_pd(_mm256_sub_pd(D(2.0), mx), mn), _mm256_add_pd(mx, mn));
    o.s = _mm256_andnot_pd(grey, _mm256_div_pd(d, den));
  }
  if constexpr (WantHue) {
    const __m256d redMax = _mm256_cmp_pd(mx, r, _CMP_EQ_OQ);
    const __m256d greenMax = _mm256_andnot_pd(redMax, _mm256_cmp_pd(mx, g, _CMP_EQ_OQ));
    const __m256d num = PickD(redMax, _mm256_sub_pd(g, b), PickD(greenMax, _mm256_sub_pd(b, r), _mm256_sub_pd(r, g)));
    const __m256d sector = PickD(redMax, D(0.0), PickD(greenMax, D(2.0), D(4.0)));
    __m256d h = _mm256_div_pd(_mm256_add_pd(_mm256_div_pd(num, d), sector), D(6.0));
    h = PickD(Lt(h, D(0.0)), _mm256_add_pd(h, D(1.0)), h);
    o.h = _mm256_andnot_pd(grey, h);
  }
  return o;
}

// Shift: the hue plus this third of a turn; the hue is in 0..1, so only one
// of the wraps can apply, and none without a shift.
template <int Shift>
PX_AVX2 inline __m256d HueChannel4(__m256d m1, __m256d m2, __m256d h) {
  if constexpr (Shift > 0) {
    h = _mm256_add_pd(h, D(1.0 / 3.0));
    h = PickD(Lt(D(1.0), h), _mm256_sub_pd(h, D(1.0)), h);
  } else if constexpr (Shift < 0) {
    h = _mm256_sub_pd(h, D(1.0 / 3.0));
    h = PickD(Lt(h, D(0.0)), _mm256_add_pd(h, D(1.0)), h);
  }
  const __m256d span = _mm256_sub_pd(m2, m1);
  const __m256d rising = _mm256_add_pd(m1, _mm256_mul_pd(_mm256_mul_pd(span, D(6.0)), h));
  const __m256d falling = _mm256_add_pd(m1, _mm256_mul_pd(_mm256_mul_pd(span, _mm256_sub_pd(D(2.0 / 3.0), h)), D(6.0)));
  const __m256d late = PickD(Lt(_mm256_mul_pd(D(3.0), h), D(2.0)), falling, m1);
  const __m256d mid = PickD(Lt(_mm256_mul_pd(D(2.0), h), D(1.0)), m2, late);
  return PickD(Lt(_mm256_mul_pd(D(6.0), h), D(1.0)), rising, mid);
}

// Rounds half to even (the default rounding mode) and clamps to a byte.
PX_AVX2 inline __m128i UnitBytes4(__m256d v) {
  const __m128i i = _mm256_cvtpd_epi32(_mm256_mul_pd(v, D(255.0)));
  return _mm_min_epi32(_mm_max_epi32(i, _mm_setzero_si128()), _mm_set1_epi32(255));
}

// Blue, green and red of four pixels, one byte per 32-bit lane, from
// components ToHSL4 made: the hue and the lightness already lie in 0..1, so
// their wrap and clamp change nothing; the saturation is finite, so its
// clamp is a min and a max. A saturation of 0 needs no branch of its own:
// it makes m1 = m2 = lightness and every channel that.
PX_AVX2 inline __m128i FromHSL4(const THSL4& c) {
  const __m256d hue = c.h, lig = c.l;
  const __m256d sat = _mm256_min_pd(_mm256_max_pd(c.s, D(0.0)), D(1.0));
  const __m256d m2 = PickD(_mm256_cmp_pd(lig, D(0.5), _CMP_LE_OQ), _mm256_mul_pd(lig, _mm256_add_pd(D(1.0), sat)),
                           _mm256_sub_pd(_mm256_add_pd(lig, sat), _mm256_mul_pd(lig, sat)));
  const __m256d m1 = _mm256_sub_pd(_mm256_mul_pd(D(2.0), lig), m2);
  const __m128i r = UnitBytes4(HueChannel4<1>(m1, m2, hue));
  const __m128i g = UnitBytes4(HueChannel4<0>(m1, m2, hue));
  const __m128i b = UnitBytes4(HueChannel4<-1>(m1, m2, hue));
  return _mm_or_si128(b, _mm_or_si128(_mm_slli_epi32(g, 8), _mm_slli_epi32(r, 16)));
}

template <int M>
PX_AVX2 void HSLRowAVX2(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  constexpr bool srcSat = M == bmSaturation || M == bmHueSaturation;
  constexpr bool srcHue = M != 35;
  const __m128i pickB = _mm_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
  const __m128i pickG = _mm_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1);
  const __m128i pickR = _mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
  const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  // The mix of the components of four pixels at byte offset k.
  const auto mixed = [&](size_t k) PX_AVX2 {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + k));
    const THSL4 a =
        ToHSL4<srcHue, srcSat>(_mm_shuffle_epi8(s, pickB), _mm_shuffle_epi8(s, pickG), _mm_shuffle_epi8(s, pickR));
    THSL4 c =
        ToHSL4<!srcHue, !srcSat>(_mm_shuffle_epi8(d, pickB), _mm_shuffle_epi8(d, pickG), _mm_shuffle_epi8(d, pickR));
    if constexpr (srcHue) c.h = a.h;
    if constexpr (srcSat) c.s = a.s;
    if constexpr (M == bmHueLightness) c.l = a.l;
    return c;
  };
  const auto store = [&](size_t k, const THSL4& c) PX_AVX2 {
    const __m128i bytes = _mm_shuffle_epi8(FromHSL4(c), pack);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), bytes);
    const auto last = static_cast<uint32_t>(_mm_extract_epi32(bytes, 2));
    std::memcpy(out + k + 8, &last, 4);
  };
  int32_t i = 0;
  // Sixteen bytes are read for the twelve of four pixels, so the loops stop
  // while six pixels remain. Eight pixels a step: the second group's
  // divisions overlap the first group's long dependency chain. Every read
  // comes before the writes to its bytes, so out may be src or dst.
  for (; i + 10 <= n; i += 8) {
    const size_t k = 3 * static_cast<size_t>(i);
    const THSL4 c0 = mixed(k), c1 = mixed(k + 12);
    store(k, c0);
    store(k + 12, c1);
  }
  for (; i + 6 <= n; i += 4) store(3 * static_cast<size_t>(i), mixed(3 * static_cast<size_t>(i)));
  HSLRow<M>(src + 3 * static_cast<size_t>(i), dst + 3 * static_cast<size_t>(i), out + 3 * static_cast<size_t>(i),
            n - i);
}

// Mode 29 where AVX-512 has byte permutes: the cosine table, 256 bytes,
// is looked up 64 bytes at a time, two 128-entry halves picked by the top
// bit; the capped sum is a saturating add.
#define PX_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
PX_VBMI void CosineRowVBMI(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n) {
  if (n <= 0) return;
  alignas(64) static constexpr std::array<uint8_t, 256> kTable = [] {
    std::array<uint8_t, 256> t{};
    for (size_t i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(CosineTable[i]);
    return t;
  }();
  const __m512i t0 = _mm512_load_si512(kTable.data()), t1 = _mm512_load_si512(kTable.data() + 64),
                t2 = _mm512_load_si512(kTable.data() + 128), t3 = _mm512_load_si512(kTable.data() + 192);
  const auto look = [&](const uint8_t* p) PX_VBMI {
    const __m512i x = _mm512_loadu_si512(p);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), _mm512_permutex2var_epi8(t0, x, t1),
                                  _mm512_permutex2var_epi8(t2, x, t3));
  };
  const size_t count = 3 * static_cast<size_t>(n);
  size_t j = 0;
  // Each block is read before it is written, so out may be src or dst.
  for (; j + 64 <= count; j += 64) _mm512_storeu_si512(out + j, _mm512_adds_epu8(look(src + j), look(dst + j)));
  for (; j < count; ++j) out[j] = static_cast<uint8_t>(Op<bmCosine>(src[j], dst[j]));
}

template <int M>
constexpr TPXBlendRowFunc AVX2RowOf() {
  if constexpr (M == bmOverlay || M == bmHardLight || M == bmSoftDodge || M == bmInverseSoftDodge)
    return SixteenBitRow<M>;
  else if constexpr (HasFloatForm(M) || GathersTable(M) || M == bmCosine) return FloatChannelRow<M>;
  else if constexpr (M < kPXFirstPixelBlendMode && !UsesTable(M)) return IntChannelRow<M>;
  else if constexpr (M >= bmHue) return HSLRowAVX2<M>;
  else return RowOf<M>();
}

template <size_t... M>
constexpr std::array<TPXBlendRowFunc, sizeof...(M)> MakeAVX2RowTable(std::index_sequence<M...>) {
  return {AVX2RowOf<static_cast<int>(M)>()...};
}
constexpr auto kAVX2RowFuncs = MakeAVX2RowTable(std::make_index_sequence<kPXBlendModeCount>{});

// Called from static initialisers too, so the feature bits are set up first.
bool HasAVX2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
bool HasVBMI() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi");
}
bool g_vectorRows = HasAVX2();
const bool g_vbmi = HasVBMI();
#else
bool g_vectorRows = false;
#endif

template <size_t... M>
constexpr std::array<int32_t (*)(int32_t, int32_t), sizeof...(M)> MakeOpTable(std::index_sequence<M...>) {
  return {Op<static_cast<int>(M)>...};
}
constexpr auto kChannelOps = MakeOpTable(std::make_index_sequence<kPXFirstPixelBlendMode>{});

}  // namespace

TPXBlendRowFunc BlendRowFunc(uint8_t mode) {
  if (mode >= kPXBlendModeCount) return KeepRow;
#if PX_BLEND_AVX2
  if (g_vectorRows && g_vbmi && mode == bmCosine) return CosineRowVBMI;
  if (g_vectorRows) return kAVX2RowFuncs[mode];
#endif
  return kRowFuncs[mode];
}

bool SetBlendVectorRows(bool allowed) {
#if PX_BLEND_AVX2
  g_vectorRows = allowed && HasAVX2();
#endif
  return g_vectorRows;
}

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
