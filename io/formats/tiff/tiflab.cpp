#include "io/formats/tiff/tiflab.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {

namespace {

using TMatrix3 = std::array<std::array<double, 3>, 3>;

// XYZ (white Y = 100) to the display's linear red, green and blue (white 100).
constexpr TMatrix3 kXYZToRGB = {{{3.2410, -1.5374, -0.4986}, {-0.9692, 1.8760, 0.0416}, {0.0556, -0.2040, 1.0570}}};

// Its inverse: the sRGB primaries' linear light to XYZ.
constexpr TMatrix3 kRGBToXYZ = {{{0.4124, 0.3576, 0.1805}, {0.2126, 0.7152, 0.0722}, {0.0193, 0.1192, 0.9505}}};

// The display: its black gives 1% of its white's light, and the light
// between is quantised into 1500 steps, each shown at gamma 2.4.
constexpr double kBlack = 1.0;
constexpr int kSteps = 1500;
constexpr double kGamma = 2.4;

uint8_t Shown(double light) {
  light = std::clamp(light, kBlack, 100.0);
  const int step = std::min(kSteps, static_cast<int>((light - kBlack) / ((100.0 - kBlack) / kSteps)));
  // Halves round up here, as that display's table is read.
  return static_cast<uint8_t>(255.0 * std::pow(static_cast<double>(step) / kSteps, 1.0 / kGamma) + 0.5);
}

// The light that shows as value v; black below the display's own.
double LightOf(uint8_t v) { return v == 0 ? 0.0 : kBlack + (100.0 - kBlack) * std::pow(v / 255.0, kGamma); }

// The colour a TIFF L*a*b* pixel shows as.
TBGR ShownColour(int32_t lByte, int32_t a, int32_t b, const TTIFFLabWhite& w) {
  const double l = lByte * 100.0 / 255.0;
  double y, fy;
  if (l < 8.856) {
    y = l * w.Y / 903.292;
    fy = 7.787 * (y / w.Y) + 16.0 / 116.0;
  } else {
    fy = (l + 16.0) / 116.0;
    y = w.Y * fy * fy * fy;
  }
  auto cubed = [](double t) { return t < 0.2069 ? (t - 0.13793) / 7.787 : t * t * t; };
  const double x = w.X * cubed(a / 500.0 + fy);
  const double z = w.Z * cubed(fy - b / 200.0);
  const auto& m = kXYZToRGB;
  return MakeBGR(Shown(m[0][0] * x + m[0][1] * y + m[0][2] * z), Shown(m[1][0] * x + m[1][1] * y + m[1][2] * z),
                 Shown(m[2][0] * x + m[2][1] * y + m[2][2] * z));
}

int32_t Distance(TBGR p, TBGR q) {
  return std::max({std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b)}) * 1024 + std::abs(p.r - q.r) +
         std::abs(p.g - q.g) + std::abs(p.b - q.b);
}

// Of the codes within one step of (l, a, b) in each value, the one whose
// colour (by shown) is nearest the target; the first when it is exact.
// Values run over [lo, hi] for a and b.
template <class TShown>
void Nearest(int32_t& l, int32_t& a, int32_t& b, int32_t lo, int32_t hi, TBGR target, TShown shown) {
  int32_t best = Distance(shown(l, a, b), target);
  if (best == 0) return;
  const int32_t l0 = l, a0 = a, b0 = b;
  for (int32_t dl = -1; dl <= 1; ++dl)
    for (int32_t da = -1; da <= 1; ++da)
      for (int32_t db = -1; db <= 1; ++db) {
        const int32_t cl = l0 + dl, ca = a0 + da, cb = b0 + db;
        if (cl < 0 || cl > 255 || ca < lo || ca > hi || cb < lo || cb > hi) continue;
        const int32_t d = Distance(shown(cl, ca, cb), target);
        if (d < best) best = d, l = cl, a = ca, b = cb;
      }
}

// The library's a and b bytes hold -127..128, -128 standing for 128.
int32_t LibraryValue(uint8_t byte) {
  const auto v = static_cast<int8_t>(byte);
  return v == -128 ? 128 : v;
}
uint8_t LibraryByte(int32_t v) { return static_cast<uint8_t>(v == 128 ? -128 : v); }

double LabF(double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; }

}  // namespace

TTIFFLabWhite LabWhiteOfChromaticity(double x, double y) {
  if (!(y > 0 && y <= 1 && x >= 0 && x <= 1 && x + y <= 1)) return TTIFFLabWhite{96.425, 100.0, 82.468};
  return TTIFFLabWhite{x / y * 100.0, 100.0, (1.0 - x - y) / y * 100.0};
}

void TIFFLabRowToBGR(const uint8_t* src, uint8_t* dst, int32_t count, const TTIFFLabWhite& white) {
  for (int32_t i = 0; i < count; ++i, src += 3, dst += 3) {
    const TBGR c = ShownColour(src[0], static_cast<int8_t>(src[1]), static_cast<int8_t>(src[2]), white);
    dst[0] = c.b, dst[1] = c.g, dst[2] = c.r;
  }
}

void TIFFLabRowToLibrary(const uint8_t* src, uint8_t* dst, int32_t count, const TTIFFLabWhite& white) {
  for (int32_t i = 0; i < count; ++i, src += 3, dst += 3) {
    const TBGR target = ShownColour(src[0], static_cast<int8_t>(src[1]), static_cast<int8_t>(src[2]), white);
    const TCIELab lab = RGBToCIELab(BGRToInt(target));
    int32_t l = lab.L, a = LibraryValue(static_cast<uint8_t>(lab.a)), b = LibraryValue(static_cast<uint8_t>(lab.b));
    Nearest(l, a, b, -127, 128, target, [](int32_t cl, int32_t ca, int32_t cb) {
      return CIELabToRGB(static_cast<uint8_t>(cl), static_cast<int8_t>(LibraryByte(ca)),
                         static_cast<int8_t>(LibraryByte(cb)));
    });
    dst[0] = static_cast<uint8_t>(l), dst[1] = LibraryByte(a), dst[2] = LibraryByte(b);
  }
}

namespace {

// The TIFF code that shows as target.
void TIFFLabOf(TBGR target, const TTIFFLabWhite& white, uint8_t* dst) {
  const TMatrix3& m = kRGBToXYZ;
  const double r = LightOf(target.r), g = LightOf(target.g), bl = LightOf(target.b);
  const double x = m[0][0] * r + m[0][1] * g + m[0][2] * bl;
  const double y = m[1][0] * r + m[1][1] * g + m[1][2] * bl;
  const double z = m[2][0] * r + m[2][1] * g + m[2][2] * bl;
  const double fy = LabF(y / white.Y);
  int32_t l = std::clamp(RoundToInt32((116.0 * fy - 16.0) * 2.55), 0, 255);
  int32_t a = std::clamp(RoundToInt32(500.0 * (LabF(x / white.X) - fy)), -128, 127);
  int32_t b = std::clamp(RoundToInt32(200.0 * (fy - LabF(z / white.Z))), -128, 127);
  Nearest(l, a, b, -128, 127, target,
          [&white](int32_t cl, int32_t ca, int32_t cb) { return ShownColour(cl, ca, cb, white); });
  dst[0] = static_cast<uint8_t>(l), dst[1] = static_cast<uint8_t>(a), dst[2] = static_cast<uint8_t>(b);
}

}  // namespace

void LibraryLabRowToTIFF(const uint8_t* src, uint8_t* dst, int32_t count, const TTIFFLabWhite& white) {
  for (int32_t i = 0; i < count; ++i, src += 3, dst += 3)
    TIFFLabOf(CIELabToRGB(src[0], static_cast<int8_t>(src[1]), static_cast<int8_t>(src[2])), white, dst);
}

void BGRRowToTIFFLab(const uint8_t* src, uint8_t* dst, int32_t count, const TTIFFLabWhite& white) {
  for (int32_t i = 0; i < count; ++i, src += 3, dst += 3) TIFFLabOf(TBGR{src[0], src[1], src[2]}, white, dst);
}

}  // namespace pixoran
