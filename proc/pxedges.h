#pragma once
// Edge detection with the Shen-Castan detector: exponential smoothing, a
// binary Laplacian, zero crossings weighted by an adaptive gradient, a
// histogram threshold and hysteresis tracing with optional thinning.
#include <cstdint>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxprogress.h"

namespace pixoran {

// What one detection is asked for (the program's choice as defaults).
struct PIXORAN_PROC_EXPORT TPXEdgeParams {
  double Smoothing = 0.9;  // b of the smoothing filter: larger smooths more
  double Ratio = 0.99;     // share of the pixels the high threshold lets through
  int32_t WindowSize = 7;  // side of the adaptive-gradient window; used within 1..51
  bool Hysteresis = true;  // weaker neighbours (above half the threshold) continue an edge
  int32_t ThinFactor = 0;  // above 0: along a traced edge only every ThinFactor-th pixel stays
};

// Where the detector looks for edges: this many pixels in from each side
// of its enlarged image.
inline constexpr int64_t kPXEdgeInset = 25;

// The detector's gradient step on its enlarged images (width x height, row
// by row): every pixel of the interior that lies on a zero crossing of the
// binary Laplacian (values 0 and 1) whose slope in smooth has the crossing's
// sign gets the mean of smooth off the Laplacian minus the mean on it, over
// the window of windowSize (used within 1..51, rounded up to odd) around it,
// a mean counting as 0 when all its values are 0; every other pixel gets 0.
PIXORAN_PROC_EXPORT void EdgeGradients(const float* smooth, const uint8_t* laplacian, float* gradient, int64_t width,
                                       int64_t height, int32_t windowSize);

// Writes into dest (which may be source) a pxBW1 image of the pxBGR24
// source's size: edges black, everything else white. Progress in six
// equal steps. False, and dest untouched, for another format, an empty
// image or when the work images cannot be had.
PIXORAN_PROC_EXPORT bool DetectEdges(TPXBitmap& source, TPXBitmap& dest, const TPXEdgeParams& params,
                                     const TPXProgressRec& progress = {});

}  // namespace pixoran
