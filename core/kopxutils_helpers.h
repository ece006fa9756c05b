#pragma once
// Small arithmetic, colour and file helpers shared by the whole library.
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/pxprogress.h"
#include "platform/graphics.h"
#include "platform/streams.h"

namespace pixoran {

// ------------------------------------------------------------ rounding

// Round half to even, as the library's rounding is everywhere.
inline int64_t RoundHalfEven(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(std::nearbyint(v));
}
// Rounds half to even into int32, clamping out-of-range values and NaN (0).
inline int32_t RoundToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(std::nearbyint(v));
}
// Truncates toward zero into int32, clamping out-of-range values and NaN (0).
inline int32_t TruncToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}
// Trunc, plus 1 when the fractional part is above 0 (clamped like TruncToInt32).
inline int32_t CeilToInt(double x) {
  const int32_t t = TruncToInt32(x);
  return (x - t > 0 && t < std::numeric_limits<int32_t>::max()) ? t + 1 : t;
}
// Trunc, minus 1 when the fractional part is below 0 (clamped like TruncToInt32).
inline int32_t FloorToInt(double x) {
  const int32_t t = TruncToInt32(x);
  return (x - t < 0 && t > std::numeric_limits<int32_t>::min()) ? t - 1 : t;
}

// A float sample (px32f, nominally 0..1) as a byte: Trunc(v * 255), with
// out-of-range values clamped and NaN taken as 0, so it is always a valid
// histogram index or pixel byte.
inline uint8_t FloatToByte(float v) {
  if (!(v > 0.0f)) return 0;  // also NaN
  if (v >= 1.0f) return 255;
  return static_cast<uint8_t>(v * 255.0f);
}

// ------------------------------------------------------------ min, max, limits

inline double DMin(double a, double b) { return a < b ? a : b; }
inline double DMax(double a, double b) { return a > b ? a : b; }
inline int32_t IMin(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t IMax(int32_t a, int32_t b) { return a > b ? a : b; }
// low when v <= low, else the smaller of v and high.
inline int32_t ILimit(int32_t v, int32_t low, int32_t high) { return v <= low ? low : (v < high ? v : high); }
// 0 for negative values, 255 above 255.
inline uint8_t BLimit(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }
inline void SwapInt(int32_t& a, int32_t& b) {
  const int32_t t = a;
  a = b;
  b = t;
}
inline void SwapByte(uint8_t& a, uint8_t& b) {
  const uint8_t t = a;
  a = b;
  b = t;
}
// Orders the corners so that x1 <= x2 and y1 <= y2.
inline void SortCorners(int32_t& x1, int32_t& y1, int32_t& x2, int32_t& y2) {
  if (x2 < x1) SwapInt(x1, x2);
  if (y2 < y1) SwapInt(y1, y2);
}

// ------------------------------------------------------------ angles and powers

inline double ArcTan2(double y, double x) { return std::atan2(y, x); }
inline double ArcCos(double x) { return ArcTan2(std::sqrt(1.0 - x * x), x); }
inline double ArcSin(double x) { return ArcTan2(x, std::sqrt(1.0 - x * x)); }
inline double Tan(double x) { return std::tan(x); }
// Arc cosine in 0..pi that never yields NaN: arguments beyond -1..1 are
// taken as -1 or 1, so SafeArcCos(1) = 0 and SafeArcCos(-1) = pi, as the
// angle between opposite directions must be.
PIXORAN_CORE_EXPORT double SafeArcCos(double x);

// x^n by repeated squaring; n = 0 gives 1, negative n the reciprocal.
PIXORAN_CORE_EXPORT double RaiseToInt(double x, int32_t n);
// base^exponent: exponent 0 gives 1, base 0 with a positive exponent 0;
// integral exponents go through RaiseToInt.
PIXORAN_CORE_EXPORT double RaiseToPower(double base, double exponent);

// ------------------------------------------------------------ colours

// Framework colour parts and the imaging core's colour integer
// (blue bits 0-7, green 8-15, red 16-23).
PIXORAN_CORE_EXPORT TBGR ColorToBGR(TColor color);
inline TBGR MakeBGR(uint8_t r, uint8_t g, uint8_t b) { return TBGR{b, g, r}; }

// Gray level of a colour integer with red in bits 16-23, by the process-wide
// luminance weights: (R * wR + G * wG + B * wB) div 100.
PIXORAN_CORE_EXPORT int32_t RGBLuminance(int32_t color);
// Same for a pixel triple.
PIXORAN_CORE_EXPORT int32_t BGRLuminance(TBGR c);
// Exchanges bytes 0 and 2 of the low three bytes; the top byte becomes 0.
inline int32_t SwapRedBlueColor(int32_t c) {
  const uint32_t u = static_cast<uint32_t>(c);
  return static_cast<int32_t>(((u & 0xFF) << 16) | (u & 0xFF00) | ((u >> 16) & 0xFF));
}
// The low three bytes are equal.
inline bool SameRGB(int32_t a, int32_t b) { return ((a ^ b) & 0xFFFFFF) == 0; }

namespace detail {
// cos on 0..pi by its series, folded to 0..pi/2 for fast convergence; exact
// enough that every table entry rounds as with std::cos (a test checks).
constexpr double ConstCos(double x) {
  constexpr double pi = 3.14159265358979323846;
  double sign = 1.0;
  if (x > pi / 2) x = pi - x, sign = -1.0;
  const double x2 = x * x;
  double term = 1.0, sum = 1.0;
  for (int n = 1; n < 20; ++n) {
    term *= -x2 / ((2.0 * n - 1.0) * (2.0 * n));
    sum += term;
  }
  return sign * sum;
}
// Round half to even of a non-negative value.
constexpr int32_t ConstRoundHalfEven(double v) {
  const auto t = static_cast<int32_t>(v);
  const double f = v - t;
  if (f > 0.5 || (f == 0.5 && (t & 1))) return t + 1;
  return t;
}
constexpr std::array<int32_t, 256> MakeCosineTable() {
  std::array<int32_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = ConstRoundHalfEven(64.0 - ConstCos(i * 3.14159265358979323846 / 255.0) * 64.0);
  return t;
}
}  // namespace detail

// Blend-mode table: entry i = Round(64 - cos(i * pi / 255) * 64), so 0 at 0,
// 64 at 128 and 128 at 255. Built at compile time: no start-up order matters.
inline constexpr std::array<int32_t, 256> CosineTable = detail::MakeCosineTable();

// ------------------------------------------------------------ bits and sizes

// Number of colours of bitsPerSample bits in samplesPerPixel samples:
// (2^bits)^samples, saturating at the int64 maximum; 0 for negative input.
PIXORAN_CORE_EXPORT int64_t ColorCount(int32_t bitsPerSample, int32_t samplesPerPixel);
// Length of the run of set bits that starts at the mask's lowest set bit; 0 for 0.
PIXORAN_CORE_EXPORT int32_t BitFieldWidth(uint32_t mask);
// Index of the lowest set bit of a non-zero mask; 0 for 0.
PIXORAN_CORE_EXPORT int32_t BitFieldShift(uint32_t mask);
// Bits needed to index n entries: the exponent when n is a power of two,
// else the index of the highest set bit plus 1; -1 for 0 (and for negative n).
PIXORAN_CORE_EXPORT int32_t BitsForCount(int64_t n);

// Bytes of one row: alignment 32 gives ((width * bits + 31) div 32) * 4,
// otherwise ceil(width * bits / alignment) * (alignment div 8). Only
// alignments 8, 16 and 32 are taken; any other gives -1, as does a row that
// does not fit in int32.
PIXORAN_CORE_EXPORT int64_t CalcRowLen(int64_t width, int64_t bits, int32_t alignment = 32);

// Bits per pixel of a platform bitmap format (1, 4, 8, 15, 16, 24, 32);
// device and custom formats 0.
PIXORAN_CORE_EXPORT int32_t TBitmapFormatBits(TPixelFormat pf);

namespace detail {
constexpr std::array<uint8_t, 256> MakeBitReverseTable() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    int r = 0;
    for (int b = 0; b < 8; ++b)
      if (i & (1 << b)) r |= 0x80 >> b;
    t[i] = static_cast<uint8_t>(r);
  }
  return t;
}
}  // namespace detail
inline constexpr std::array<uint8_t, 256> kBitReverseTable = detail::MakeBitReverseTable();

constexpr uint8_t ReverseBits8(uint8_t b) { return kBitReverseTable[b]; }
constexpr uint32_t ReverseBits32(uint32_t v) {
  return (static_cast<uint32_t>(kBitReverseTable[v & 0xFF]) << 24) |
         (static_cast<uint32_t>(kBitReverseTable[(v >> 8) & 0xFF]) << 16) |
         (static_cast<uint32_t>(kBitReverseTable[(v >> 16) & 0xFF]) << 8) | kBitReverseTable[v >> 24];
}
constexpr uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>((v << 8) | (v >> 8)); }
constexpr uint32_t Swap32(uint32_t v) { return (v << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24); }

// ------------------------------------------------------------ text

// Converts text with the current decimal separator; when that fails, with
// the first "," turned into "." (or, without a comma, the first "." into
// ","); the default when both fail. Never raises.
PIXORAN_CORE_EXPORT double StrToFloatAnySeparator(const std::string& text, double defaultValue);
// A number as the framework's default float-to-text conversion writes it:
// at most 15 significant digits without trailing zeros, "." as separator,
// fixed notation from 0.0001 up to 15 integer digits, otherwise
// "1.5E-7" / "1E20"; "NAN", "INF" and "-INF" for the special values.
PIXORAN_CORE_EXPORT std::string FloatToStr(double value);

// ------------------------------------------------------------ streams

// Writes count bytes; sets errorFlag when fewer were written. Never raises
// and never clears the flag.
PIXORAN_CORE_EXPORT void SafeStreamWrite(TStream& stream, bool& errorFlag, const void* buffer, int64_t count);

// Four characters of the standard base64 alphabet for count (1..3) bytes of
// in; "=" replaces the third character when count < 2 and the fourth when
// count < 3.
PIXORAN_CORE_EXPORT void Base64EncodeTriplet(const uint8_t in[3], int32_t count, char out[4]);
// Encodes source from its position to its end into text, ending a line
// ("\n") as soon as it holds lineLength / 4 groups and after a non-empty
// last line. Returns false when text took fewer bytes than written to it.
PIXORAN_CORE_EXPORT bool Base64EncodeStreamToText(TStream& source, TStream& text, int32_t lineLength);

// ------------------------------------------------------------ files and system

// The path exists and is a directory.
PIXORAN_CORE_EXPORT bool IsExistingDirectory(const std::string& path);
// Creates a directory with all missing parents. An empty path raises
// std::runtime_error("Cannot Create Directory"); failures of the creation
// itself are not reported.
PIXORAN_CORE_EXPORT void MakeDirectoryPath(const std::string& path);
// Size of the file in bytes, -1 when it cannot be read.
PIXORAN_CORE_EXPORT int64_t GetFileSizeByName(const std::string& name);
// Available physical memory in bytes, 0 when unknown.
PIXORAN_CORE_EXPORT int64_t GetAvailablePhysicalMemory();
// Always true: every platform the library runs on has the newer system calls.
PIXORAN_CORE_EXPORT bool IsWin2000OrMeOrLater();
// True when the session is shown on a remote display (an RDP or VNC session
// or an X display forwarded over SSH), where costly screen effects are best
// left out.
PIXORAN_CORE_EXPORT bool IsRemoteSession();
// The processor has the MMX instructions (always so on x86-64).
PIXORAN_CORE_EXPORT bool HasMMX();
// Nothing to do: printers are not selected through a device handle here, so
// there is no stale device mode to drop.
PIXORAN_CORE_EXPORT void ResetPrinter();

// GetOwnerWindowHandle and CenterWindow, which reach controls, are in
// kopxutils_controls.h.

// The parts of a logical font that LogFontToStyleFlags reads.
struct PIXORAN_CORE_EXPORT TLogFont {
  int32_t Height = 0;
  int32_t Weight = 400;  // 700 and above is bold
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  std::string FaceName;
};
// Style flags: 1 bold (weight 700 or more), 2 italic, 4 underline,
// 8 strike-out; nullptr gives 0.
PIXORAN_CORE_EXPORT int32_t LogFontToStyleFlags(const TLogFont* logFont);

}  // namespace pixoran
