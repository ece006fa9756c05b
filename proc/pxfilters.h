#pragma once
// Neighbourhood filters and distortion effects that need no processing
// component: the 3x3 integer convolution and its list of named kernels, the
// separable Gaussian blur, soft drop shadows made from the alpha channel, a
// spherical lens, a concentric wave and rounded corners. The thumbnail view
// and the vector layer call the shadow and corner routines directly.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxprogress.h"
#include "platform/graphics.h"

namespace pixoran {

// ------------------------------------------------------------ 3x3 kernels

// Nine coefficients row by row, top row first, and the divisor (0 is taken as 1).
struct PIXORAN_PROC_EXPORT TPXFilterKernel {
  std::array<int32_t, 9> Values{};
  int32_t Divisor = 1;
};

// The predefined kernels, in the order of the process-wide list.
inline constexpr TPXFilterKernel kFilterNone{{0, 0, 0, 0, 1, 0, 0, 0, 0}, 0};
inline constexpr TPXFilterKernel kFilterBlur{{1, 1, 1, 1, 1, 1, 1, 1, 1}, 9};
inline constexpr TPXFilterKernel kFilterEdges{{1, 1, 1, 1, -8, 1, 1, 1, 1}, 1};
inline constexpr TPXFilterKernel kFilterEmboss{{-1, 0, 1, -1, 1, 1, -1, 0, 1}, 1};
inline constexpr TPXFilterKernel kFilterHighPass1{{0, -1, 0, -1, 5, -1, 0, -1, 0}, 1};
inline constexpr TPXFilterKernel kFilterHighPass2{{-1, -1, -1, -1, 9, -1, -1, -1, -1}, 1};
inline constexpr TPXFilterKernel kFilterHighPass3{{1, -2, 1, -2, 5, -2, 1, -2, 1}, 1};
inline constexpr TPXFilterKernel kFilterLowPass1{{1, 1, 1, 1, 1, 1, 1, 1, 1}, 10};
inline constexpr TPXFilterKernel kFilterLowPass2{{1, 2, 1, 2, 4, 2, 1, 2, 1}, 16};

// The process-wide list of named kernels (parallel lists), filled with the
// nine predefined ones before first use. Filled and changed only at
// start-up; read afterwards.
struct PIXORAN_PROC_EXPORT TPXFilterList {
  std::vector<TPXFilterKernel> Kernels;
  std::vector<std::string> Names;
};
PIXORAN_PROC_EXPORT TPXFilterList& FilterList();
// Refills the list with the nine predefined kernels ("None", "Blur",
// "Edges", "Emboss", "High Pass 1" to "3", "Low Pass 1" and "2").
PIXORAN_PROC_EXPORT void BuildFilterList();
// Appends a copy of the kernel under the name.
PIXORAN_PROC_EXPORT void AddFilterKernel(const TPXFilterKernel& kernel, const std::string& name);
// Empties the list.
PIXORAN_PROC_EXPORT void FreeFilterList();

// Convolves the rectangle x1..x2-1, y1..y2-1 (cut to the image) of a
// pxGray8 bitmap with the kernel: the sum over the 3x3 neighbourhood
// (neighbours past the image's edge repeat the edge), divided truncating
// toward zero and clamped to 0..255. Other formats are left alone.
PIXORAN_PROC_EXPORT void ApplyFilter3x3(TPXBitmap& bitmap, const TPXFilterKernel& kernel, int32_t x1, int32_t y1,
                                        int32_t x2, int32_t y2);

// ------------------------------------------------------------ Gaussian blur

// Weights for offsets -100..100 (index offset + 100): as doubles,
// exp(-(i / radius)^2 / 2), and as integers summing to about 65536. Only
// offsets within HalfWidth (1..100) count.
struct PIXORAN_PROC_EXPORT TPXGaussianKernel {
  int32_t HalfWidth = 1;
  std::array<double, 201> Weights{};
  std::array<int32_t, 201> IntWeights{};
};
// The half-width shrinks from 100 while both end weights round to 0, never
// below 1. The radius must be above 0.
PIXORAN_PROC_EXPORT TPXGaussianKernel BuildGaussianKernel(double radius);

// One row of n pixels blurred in place: per channel 32768 + the weighted
// sum of the neighbours (positions past either end repeat the end pixel),
// shifted right by 16 and clamped to 255.
PIXORAN_PROC_EXPORT void BlurRowBgr24(uint8_t* row, int32_t n, const TPXGaussianKernel& kernel);
PIXORAN_PROC_EXPORT void BlurRowGray8(uint8_t* row, int32_t n, const TPXGaussianKernel& kernel);

// Every row, then every column of a pxGray8 or pxBGR24 bitmap through the
// row blur; progress after each row and each column. Nothing for a radius
// that is not above 0 or another format.
PIXORAN_PROC_EXPORT void GaussianBlur(TPXBitmap& bitmap, double radius, const TPXProgressRec& progress = {});
// The same on the rectangle x1..x2, y1..y2 (inclusive, cut to the image) of
// a pxGray8 bitmap (alpha channels), whose edges repeat as the image's do.
PIXORAN_PROC_EXPORT void BlurAlphaRect(TPXBitmap& bitmap, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                                       double radius);

// ------------------------------------------------------------ shadows

// A soft shadow of the opaque part of the image: the alpha channel
// (created when missing) is blurred and moved by the offset, and
// transparent pixels under it take the shadow colour (pxBW1: black) and
// the shadow's alpha; other formats only get the new alpha. Enlarge first
// grows the image by max(2 * max(|offsetX|, |offsetY|) + Trunc(radius * 5), 1)
// in each direction's total, content centred, new area transparent.
// Raises EPXBitmapError when the enlarged image cannot be had.
PIXORAN_PROC_EXPORT void AddSoftShadowToBitmap(TPXBitmap& bitmap, int32_t offsetX, int32_t offsetY,
                                               const TPXProgressRec& progress, TBGR shadow, bool enlarge,
                                               double radius);
// A black shadow under the object in rect (right and bottom exclusive), as
// the vector layer draws it: the alpha around the object (rect grown by
// half the margin) is blurred (radius 0: the 3x3 "Blur" kernel at radius
// 2) and moved by the offset, then combined as above over the rect grown
// by the margin. Returns the margin, max(2 * max(|offsetX|, |offsetY|) +
// Trunc(radius * 5), 1).
PIXORAN_PROC_EXPORT int32_t DrawSoftShadowRect(TPXBitmap& bitmap, int32_t offsetX, int32_t offsetY, const TRect& rect,
                                               double radius);

// ------------------------------------------------------------ distortions and corners

// A spherical lens of the given refraction (below 1: none) over the box of
// width x height centred at (x, y), cut to the pxBGR24 image. Progress
// after each column of the box. Images narrower or lower than 2 pixels
// stay as they are.
PIXORAN_PROC_EXPORT void LensRect(TPXBitmap& bitmap, int32_t x, int32_t y, int32_t width, int32_t height,
                                  double refraction, const TPXProgressRec& progress = {});
// Concentric waves from the centre of a pxBGR24 image, sampled bilinearly:
// mode true scales each pixel's distance from the centre by
// |sin| * amplitude, mode false shifts it by sin * amplitude. Phase in
// degrees. Nothing for a zero amplitude or wavelength, or an image
// narrower or lower than 2 pixels.
// unchanged, when given, is a bitmap of the same size and pixels that
// stays as it is: the wave reads it instead of a copy of its own.
PIXORAN_PROC_EXPORT void WaveRect(TPXBitmap& bitmap, int32_t amplitude, int32_t waveLength, bool mode, int32_t phase,
                                  const TPXProgressRec& progress = {}, TPXBitmap* unchanged = nullptr);
// Makes the four corners transparent outside a cubic curve of w by h
// pixels; nothing for an empty image or a size of 0 or less.
PIXORAN_PROC_EXPORT void RoundCorners(TPXBitmap& bitmap, int32_t w, int32_t h);

}  // namespace pixoran
