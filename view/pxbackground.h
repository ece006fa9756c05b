#pragma once
// Background styles of the viewers: the area around and under a picture,
// painted by the image viewer and by the thumbnail view.
#include <cstdint>

#include "platform/pxexport.h"
#include "platform/graphics.h"

namespace pixoran {

enum TPXBackgroundStyle : uint8_t {
  pxbsSolid = 0,
  pxbsHorizontal = 1,
  pxbsVertical = 2,
  pxbsFDiagonal = 3,
  pxbsBDiagonal = 4,
  pxbsCross = 5,
  pxbsDiagCross = 6,
  pxbsChessboard = 7,
  pxbsDiagonals = 8,
  pxbsCropped = 9,
  pxbsCropShadow = 10,
  pxbsGradient = 11,
};

// Paints (left, top, width, height) of the canvas in a style; a style above
// pxbsGradient paints nothing. image is the picture's rectangle in the same
// coordinates (right and bottom excluded), framed by pxbsCropped and
// shadowed by pxbsCropShadow when at least 2 x 2 and not designing. The
// chessboard alternates colour and its complement in squares of squareSize
// (below 1 counts as 1) drawn with brushStyle; pxbsGradient runs from colour
// at the top to secondColour at the bottom.
PIXORAN_VIEW_EXPORT void PaintBackgroundStyle(bool designing, TCanvas& canvas, TPXBackgroundStyle style, TColor colour,
                                              int32_t left, int32_t top, int32_t width, int32_t height,
                                              const TRect& image, int32_t squareSize, TBrushStyle brushStyle,
                                              TColor secondColour);

// Width and height of the sunken edge pxbsCropped draws around the picture.
PIXORAN_VIEW_EXPORT int32_t ViewEdgeX();
PIXORAN_VIEW_EXPORT int32_t ViewEdgeY();

}  // namespace pixoran
