#include "core/kopxutils_helpers.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <stdexcept>

#include "core/kopxutils_settings.h"
#include "platform/system.h"

namespace pixoran {

// ------------------------------------------------------------ angles and powers

double SafeArcCos(double x) {
  if (std::isnan(x) || x >= 1.0) return 0.0;
  if (x <= -1.0) return std::numbers::pi;
  return ArcTan2(std::sqrt(1.0 - x * x), x);
}

double RaiseToInt(double x, int32_t n) {
  // Widen first: negating INT32_MIN would overflow.
  uint64_t e = n < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(n)) : static_cast<uint64_t>(n);
  double result = 1.0, base = x;
  while (e) {
    if (e & 1u) result *= base;
    base *= base;
    e >>= 1;
  }
  return n < 0 ? 1.0 / result : result;
}

double RaiseToPower(double base, double exponent) {
  if (exponent == 0.0) return 1.0;
  if (base == 0.0 && exponent > 0.0) return 0.0;
  if (std::trunc(exponent) == exponent && std::fabs(exponent) <= 2147483647.0)
    return RaiseToInt(base, static_cast<int32_t>(exponent));
  return std::exp2(exponent * std::log2(base));
}

// ------------------------------------------------------------ colours

TBGR ColorToBGR(TColor color) {
  const TColor c = ColorToRGB(color);
  return TBGR{static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
}

int32_t RGBLuminance(int32_t color) {
  const TPXSettings& s = PXSettings();
  const int32_t r = (color >> 16) & 0xFF, g = (color >> 8) & 0xFF, b = color & 0xFF;
  return (r * s.LumRed + g * s.LumGreen + b * s.LumBlue) / 100;
}

int32_t BGRLuminance(TBGR c) {
  const TPXSettings& s = PXSettings();
  return (c.r * s.LumRed + c.g * s.LumGreen + c.b * s.LumBlue) / 100;
}

// ------------------------------------------------------------ bits and sizes

int64_t ColorCount(int32_t bitsPerSample, int32_t samplesPerPixel) {
  if (bitsPerSample < 0 || samplesPerPixel < 0) return 0;
  const int64_t totalBits = static_cast<int64_t>(bitsPerSample) * samplesPerPixel;
  if (totalBits >= 63) return std::numeric_limits<int64_t>::max();
  return int64_t{1} << totalBits;
}

int32_t BitFieldShift(uint32_t mask) {
  if (mask == 0) return 0;
  int32_t s = 0;
  while ((mask & 1u) == 0) mask >>= 1, ++s;
  return s;
}

int32_t BitFieldWidth(uint32_t mask) {
  if (mask == 0) return 0;
  mask >>= BitFieldShift(mask);
  int32_t w = 0;
  while (mask & 1u) mask >>= 1, ++w;
  return w;
}

int32_t BitsForCount(int64_t n) {
  if (n <= 0) return -1;
  const uint64_t u = static_cast<uint64_t>(n);
  int32_t high = 63;
  while (!(u >> high)) --high;
  return (u & (u - 1)) == 0 ? high : high + 1;
}

int64_t CalcRowLen(int64_t width, int64_t bits, int32_t alignment) {
  if (width < 0 || bits < 0) return -1;
  if (alignment != 8 && alignment != 16 && alignment != 32) return -1;
  if (bits > 0 && width > (std::numeric_limits<int64_t>::max() - 32) / bits) return -1;  // product would overflow
  const int64_t totalBits = width * bits;
  const int64_t len = (totalBits + alignment - 1) / alignment * (alignment / 8);
  return len > std::numeric_limits<int32_t>::max() ? -1 : len;
}

int32_t TBitmapFormatBits(TPixelFormat pf) {
  switch (pf) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit: return 15;
    case pf16bit: return 16;
    case pf24bit: return 24;
    case pf32bit: return 32;
    default: return 0;
  }
}

// ------------------------------------------------------------ text

// Converts the whole text (blanks around it allowed) with sep as the only
// decimal separator. Infinities and NaN are not numbers here.
static bool ConvertFloat(const std::string& text, char sep, double& out) {
  size_t a = 0, b = text.size();
  while (a < b && (text[a] == ' ' || text[a] == '\t')) ++a;
  while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t')) --b;
  if (a == b) return false;
  std::string t;
  for (size_t i = a; i < b; ++i) {
    const char c = text[i];
    if (c == sep) {
      t.push_back('.');
    } else if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == 'e' || c == 'E') {
      t.push_back(c);
    } else {
      return false;  // includes the other separator
    }
  }
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (*first == '+') ++first;
  if (first == last || *first == '+') return false;
  double v = 0;
  const auto r = std::from_chars(first, last, v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != last || !std::isfinite(v)) return false;
  out = v;
  return true;
}

static char CurrentDecimalSeparator() {
  const std::lconv* lc = std::localeconv();
  return lc && lc->decimal_point && lc->decimal_point[0] ? lc->decimal_point[0] : '.';
}

double StrToFloatAnySeparator(const std::string& text, double defaultValue) {
  const char sep = CurrentDecimalSeparator();
  double v = 0;
  if (ConvertFloat(text, sep, v)) return v;
  std::string t = text;
  if (const auto comma = t.find(','); comma != std::string::npos) {
    t[comma] = '.';
  } else if (const auto point = t.find('.'); point != std::string::npos) {
    t[point] = ',';
  }
  return ConvertFloat(t, sep, v) ? v : defaultValue;
}

std::string FloatToStr(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  // 15 significant digits, rounded once, as d.dddddddddddddde[+-]x; to_chars
  // ignores the C locale, so the separator is always ".".
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific, 14);
  const std::string text(buf, r.ptr);
  const size_t e = text.find('e');
  std::string digits = text.substr(0, 1) + text.substr(2, e - 2);
  const int exponent = std::atoi(text.c_str() + e + 1);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int point = exponent + 1;  // digits before the decimal point
  const auto n = static_cast<int>(digits.size());
  std::string out = value < 0 ? "-" : "";
  if (point > 15 || point < -3) {
    out.append(digits, 0, 1);
    if (n > 1) out.append(".").append(digits, 1);
    out.append(exponent < 0 ? "E-" : "E").append(std::to_string(exponent < 0 ? -exponent : exponent));
  } else if (point <= 0) {
    out.append("0.").append(static_cast<size_t>(-point), '0').append(digits);
  } else if (point >= n) {
    out.append(digits).append(static_cast<size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point)).append(".").append(digits, static_cast<size_t>(point));
  }
  return out;
}

// ------------------------------------------------------------ streams

void SafeStreamWrite(TStream& stream, bool& errorFlag, const void* buffer, int64_t count) {
  if (count <= 0) return;
  int64_t written = 0;
  try {
    written = stream.Write(buffer, count);
  } catch (...) {
    written = 0;
  }
  if (written < count) errorFlag = true;
}

static constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void Base64EncodeTriplet(const uint8_t in[3], int32_t count, char out[4]) {
  out[0] = kBase64Alphabet[in[0] >> 2];
  out[1] = kBase64Alphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
  out[2] = count < 2 ? '=' : kBase64Alphabet[((in[1] & 0x0F) << 2) | (in[2] >> 6)];
  out[3] = count < 3 ? '=' : kBase64Alphabet[in[2] & 0x3F];
}

bool Base64EncodeStreamToText(TStream& source, TStream& text, int32_t lineLength) {
  bool error = false;
  const int32_t groupsPerLine = lineLength / 4;
  std::string line;
  int32_t groups = 0;
  for (;;) {
    uint8_t in[3] = {0, 0, 0};
    int64_t n = 0;
    while (n < 3) {  // a stream may hand out fewer bytes than asked before its end
      const int64_t got = source.Read(in + n, 3 - n);
      if (got <= 0) break;
      n += got;
    }
    if (n == 0) break;
    char out[4];
    Base64EncodeTriplet(in, static_cast<int32_t>(n), out);
    line.append(out, 4);
    if (++groups >= groupsPerLine) {
      line.push_back('\n');
      SafeStreamWrite(text, error, line.data(), static_cast<int64_t>(line.size()));
      line.clear();
      groups = 0;
    }
    if (n < 3) break;
  }
  if (!line.empty()) {
    line.push_back('\n');
    SafeStreamWrite(text, error, line.data(), static_cast<int64_t>(line.size()));
  }
  return !error;
}

// ------------------------------------------------------------ files and system

bool IsExistingDirectory(const std::string& path) { return !path.empty() && PathIsDirectory(path); }

void MakeDirectoryPath(const std::string& path) {
  if (path.empty()) throw std::runtime_error("Cannot Create Directory");
  std::string p = path;
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.size() <= 2 || PathIsDirectory(p)) return;
  const auto slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirectoryPath(p.substr(0, slash));
  CreateOneDirectory(p);
}

int64_t GetFileSizeByName(const std::string& name) { return FileSizeByName(name); }

int64_t GetAvailablePhysicalMemory() { return PlatformAvailablePhysicalMemory(); }

bool IsWin2000OrMeOrLater() { return true; }

static bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

bool IsRemoteSession() {
  if (EnvSet("XRDP_SESSION")) return true;
  if (const char* qpa = std::getenv("QT_QPA_PLATFORM"); qpa && std::strncmp(qpa, "vnc", 3) == 0) return true;
  // An X display reached through an SSH connection is forwarded.
  return EnvSet("SSH_CONNECTION") && EnvSet("DISPLAY");
}

bool HasMMX() {
#if defined(__x86_64__) || defined(_M_X64)
  return true;
#elif (defined(__i386__) || defined(_M_IX86)) && (defined(__GNUC__) || defined(__clang__))
  return __builtin_cpu_supports("mmx");
#else
  return false;
#endif
}

void ResetPrinter() {}

int32_t LogFontToStyleFlags(const TLogFont* logFont) {
  if (!logFont) return 0;
  int32_t flags = 0;
  if (logFont->Weight >= 700) flags |= 1;
  if (logFont->Italic) flags |= 2;
  if (logFont->Underline) flags |= 4;
  if (logFont->StrikeOut) flags |= 8;
  return flags;
}

}  // namespace pixoran
