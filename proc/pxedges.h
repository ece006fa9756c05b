#pragma once
// Edge detection with the Shen-Castan detector: exponential smoothing, a
// binary Laplacian, zero crossings weighted by an adaptive gradient, a
// histogram threshold and hysteresis tracing with optional thinning.
#include <cstdint>

#include "core/kopxutils_bitmap.h"
#include "core/pxprogress.h"

namespace pixoran {

// What one detection is asked for (the program's choice as defaults).
struct TPXEdgeParams {
  double Smoothing = 0.9;   // b of the smoothing filter: larger smooths more
  double Ratio = 0.99;      // share of the pixels the high threshold lets through
  int32_t WindowSize = 7;   // side of the adaptive-gradient window; used within 1..51
  bool Hysteresis = true;   // weaker neighbours (above half the threshold) continue an edge
  int32_t ThinFactor = 0;   // above 0: along a traced edge only every ThinFactor-th pixel stays
};

// Writes into dest (which may be source) a pxBW1 image of the pxBGR24
// source's size: edges black, everything else white. Progress in six
// equal steps. False, and dest untouched, for another format, an empty
// image or when the work images cannot be had.
bool DetectEdges(TPXBitmap& source, TPXBitmap& dest, const TPXEdgeParams& params,
                 const TPXProgressRec& progress = {});

}  // namespace pixoran
