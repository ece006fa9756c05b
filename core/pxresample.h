#pragma once
// Resampling engine: scales a bitmap (and its alpha channel) into a
// destination that already has the target width and height. Behind the one
// entry point stand a nearest-neighbour copier for every pixel format, a
// kernel-weighted two-pass resampler with eight kernels, a 17-bit
// fixed-point linear resampler, an area-coverage bilinear/bicubic resampler
// and a 1-bit area-averaging reducer. No state between calls. The passes
// run in bands of destination rows on the row-band pool (core/pxpool.h): the
// call still returns when done, gives the same bytes as on one thread, and
// reports every row's progress in order from the caller's thread; bitmaps
// in temporary files are worked on the calling thread alone.
#include <array>
#include <cstdint>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {

class TPXBitmap;

// A kernel of the weighted resampler and the half-width outside which it is 0.
struct PIXORAN_CORE_EXPORT TPXResampleKernel {
  double (*Kernel)(double x) = nullptr;
  double Support = 0.0;
};
// Indexed by the filter value; entries 1 (rfTriangle) to 8 (rfLinear) are set.
extern PIXORAN_CORE_EXPORT const std::array<TPXResampleKernel, 9> ResampleKernels;

// Scales source into dest, which already has the target size. rfNone copies
// the nearest pixels in the source's pixel format. Other filters: a 1-bit
// source gives 24-bit grey (a 1-bit copy when the size is unchanged), an
// 8-bit grey source stays 8-bit, every other format gives 24-bit. Pixels
// whose alpha is 0 are read as grey 128 (the source is not changed). An
// alpha channel is resampled alongside and keeps the source alpha's Full
// flag. Zero sizes do nothing. The result is made aside and takes dest's
// place whole: false, with dest as it was, when storage could not be had
// (no memory, a temporary file that cannot be written).
PIXORAN_CORE_EXPORT bool ResampleBitmap(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter,
                                        const TPXProgressRec& progress = {});

// Nearest neighbour for every pixel format: dest becomes the source's format
// (and palette) at dest's size. Column i reads source column
// Trunc(srcW / dstW * i), row j source row Trunc(srcH / dstH * j).
PIXORAN_CORE_EXPORT void ResampleNearest(TPXBitmap& source, TPXBitmap& dest, const TPXProgressRec& progress = {});

// Any filter into a pxBGR24 dest; sources in other formats are read through
// a 24-bit conversion (1-bit pixels as 0 and 255). Filters 1-8 run the
// kernel resampler, rfFastLinear ResampleFastLinear24, rfBilinear and
// rfBicubic ResampleFilteredTwoPass, rfNone the nearest pixels.
PIXORAN_CORE_EXPORT void Resample24Filtered(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter,
                                            const TPXProgressRec& progress = {});

// 8-bit grey sources (alpha channels) into an 8-bit dest: filters 1-8 through
// the kernel resampler, filters 9-11 through ResampleFastLinear8, rfNone
// nearest. Other source formats are left alone.
PIXORAN_CORE_EXPORT void ResampleGray8Filtered(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter);

// 1-bit sources: the same size gives a 1-bit copy; otherwise dest becomes
// 24-bit grey, through the kernel resampler (filters 1-8) or
// ResampleFastLinearBW1 (filters 9-11). rfNone: nearest, staying 1-bit.
PIXORAN_CORE_EXPORT void ResampleBW1Filtered(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter);

// Fixed-point linear enlarging / box-average reduction per axis (weights in
// 1/131072). The same size copies. 24-bit output from any source but 1-bit.
PIXORAN_CORE_EXPORT void ResampleFastLinear24(TPXBitmap& source, TPXBitmap& dest, const TPXProgressRec& progress = {});
// The same on 8-bit grey, without progress.
PIXORAN_CORE_EXPORT void ResampleFastLinear8(TPXBitmap& source, TPXBitmap& dest);
// 1-bit source: the same size copies (dest 1-bit); when either axis grows
// both axes interpolate into 24-bit grey; when neither grows
// ShrinkBW1ToGray24 over the whole image.
PIXORAN_CORE_EXPORT void ResampleFastLinearBW1(TPXBitmap& source, TPXBitmap& dest);

// Area coverage: every destination pixel is the mean of its footprint,
// sampled per piece between source and destination pixel boundaries, with
// bilinear or cubic (a = -1) samples along the axes that grow. pxBGR24 dest.
PIXORAN_CORE_EXPORT void ResampleFilteredTwoPass(TPXBitmap& source, TPXBitmap& dest, bool bicubic,
                                                 const TPXProgressRec& progress = {});

// Grey level of the share of set bits under each destination pixel, for the
// source rectangle (x1, y1)-(x2, y2) inclusive, into a pxBGR24 dest.
PIXORAN_CORE_EXPORT void ShrinkBW1ToGray24(TPXBitmap& source, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                                           TPXBitmap& dest);

}  // namespace pixoran
