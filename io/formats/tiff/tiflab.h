#pragma once
// CIE L*a*b* rows between TIFF's coding (L* x 255 / 100, a* and b* signed
// bytes, relative to the page's white point) and the library's own L*a*b*
// bytes (those of the colour-row hook's code 4). The colours are the ones
// libtiff's RGBA reader shows for the TIFF values: XYZ relative to the
// white point, the sRGB primaries, a display of gamma 2.4 whose black is 1%
// of its white; so a page of ours shows in other programs as it does here.
#include <cstdint>

#include "platform/pxexport.h"

namespace pixoran {

// A white point as XYZ with Y = 100.
struct PIXORAN_IO_EXPORT TTIFFLabWhite {
  double X = 0, Y = 100, Z = 0;
};

// The white of chromaticity (x, y); D50 (libtiff's default without the
// WhitePoint tag) for a y of 0 or a value outside 0..1.
PIXORAN_IO_EXPORT TTIFFLabWhite LabWhiteOfChromaticity(double x, double y);

// The white a written page's WhitePoint tag names: D65, the sRGB white.
inline constexpr double kTIFFLabWriteWhite[2] = {0.3127, 0.3290};

// count pixels of TIFF L*a*b* into blue-green-red, and back.
PIXORAN_IO_EXPORT void TIFFLabRowToBGR(const uint8_t* src, uint8_t* dst, int32_t count, const TTIFFLabWhite& white);
PIXORAN_IO_EXPORT void BGRRowToTIFFLab(const uint8_t* src, uint8_t* dst, int32_t count, const TTIFFLabWhite& white);

// The library's L*a*b* bytes hold no more than a* and b* of +-100 and lose
// up to a few dozen levels of saturated colours: these two go through them
// only for a colour-row hook of the application's own, which takes them.
// count pixels of TIFF L*a*b* into the library's L*a*b* bytes.
PIXORAN_IO_EXPORT void TIFFLabRowToLibrary(const uint8_t* src, uint8_t* dst, int32_t count, const TTIFFLabWhite& white);

// count pixels of the library's L*a*b* bytes into TIFF L*a*b*.
PIXORAN_IO_EXPORT void LibraryLabRowToTIFF(const uint8_t* src, uint8_t* dst, int32_t count, const TTIFFLabWhite& white);

}  // namespace pixoran
