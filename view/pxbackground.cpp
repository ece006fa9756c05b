#include "view/pxbackground.h"

#include <algorithm>

#include "core/kopxutils_draw.h"

namespace pixoran {

// The client edge the platform draws is two pixels on each side.
int32_t ViewEdgeX() { return 2; }
int32_t ViewEdgeY() { return 2; }

void PaintBackgroundStyle(bool designing, TCanvas& canvas, TPXBackgroundStyle style, TColor colour, int32_t left,
                          int32_t top, int32_t width, int32_t height, const TRect& image, int32_t squareSize,
                          TBrushStyle brushStyle, TColor secondColour) {
  if (style > pxbsGradient || width <= 0 || height <= 0) return;
  const TBrush savedBrush = canvas.Brush;
  const TPen savedPen = canvas.Pen;
  const TRect area = Rect(left, top, left + width, top + height);
  const bool framed = !designing && image.Width() >= 2 && image.Height() >= 2;
  auto solid = [&] {
    canvas.Brush.Style = bsSolid;
    canvas.Brush.Color = colour;
    canvas.FillRect(area);
  };
  switch (style) {
    case pxbsChessboard: {
      // A square below one pixel would never advance the loop.
      const int32_t size = std::max(squareSize, 1);
      const TColor other = ~ColorToRGB(colour);
      canvas.Brush.Style = brushStyle;
      bool rowStartsOther = true;
      for (int32_t y = top; y < top + height; y += size, rowStartsOther = !rowStartsOther) {
        bool useOther = rowStartsOther;
        for (int32_t x = left; x < left + width; x += size, useOther = !useOther) {
          canvas.Brush.Color = useOther ? (other & 0xFFFFFF) : colour;
          canvas.FillRect(Rect(x, y, std::min(x + size, left + width), std::min(y + size, top + height)));
        }
      }
      break;
    }
    case pxbsDiagonals: {
      solid();
      canvas.Pen = TPen{};
      canvas.Pen.Color = ~ColorToRGB(colour) & 0xFFFFFF;
      canvas.MoveTo(left, top);
      canvas.LineTo(left + width, top + height);
      canvas.MoveTo(left + width, top);
      canvas.LineTo(left, top + height);
      break;
    }
    case pxbsCropped:
      solid();
      if (framed)
        canvas.DrawSunkenEdge(Rect(image.Left - ViewEdgeX(), image.Top - ViewEdgeY(), image.Right + ViewEdgeX(),
                                   image.Bottom + ViewEdgeY()));
      break;
    case pxbsCropShadow:
      solid();
      if (framed) {
        DrawVertShadowStrip(canvas, image.Right, image.Top + 4, 2, image.Bottom + 4, image.Right + 5);
        DrawHorzShadowStrip(canvas, image.Left + 3, image.Bottom, 2, image.Bottom + 5, image.Right);
      }
      break;
    case pxbsGradient: canvas.GradientFill(area, colour, secondColour, true); break;
    default: {
      static constexpr TBrushStyle kStyles[] = {bsSolid,     bsHorizontal, bsVertical, bsFDiagonal,
                                                bsBDiagonal, bsCross,      bsDiagCross};
      canvas.Brush.Style = kStyles[style];
      canvas.Brush.Color = colour;
      canvas.FillRect(area);
      break;
    }
  }
  canvas.Brush = savedBrush;
  canvas.Pen = savedPen;
}

}  // namespace pixoran
