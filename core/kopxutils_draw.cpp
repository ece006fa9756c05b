#include "core/kopxutils_draw.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "core/kopxutils_helpers.h"

namespace pixoran {

void Draw3DFrame(TCanvas& canvas, int32_t x1, int32_t y1, int32_t x2, int32_t y2, TColor topLeft, TColor bottomRight) {
  // LineTo leaves out its end point, so each corner is drawn exactly once:
  // the two left corners in the first colour, the two right ones in the second.
  canvas.Pen.Width = 1;
  canvas.Pen.Color = topLeft;
  canvas.MoveTo(x1, y2);
  canvas.LineTo(x1, y1);
  canvas.LineTo(x2, y1);
  canvas.Pen.Color = bottomRight;
  canvas.LineTo(x2, y2);
  canvas.LineTo(x1, y2);
}

void DrawTextBox(TCanvas& canvas, int32_t& x, int32_t& y, int32_t areaWidth, int32_t areaHeight, TBitmap& saved,
                 const TBrush& brush, const TFont& font, const std::string& text) {
  canvas.Font = font;
  const int32_t boxW = canvas.TextWidth(text) + 12;
  const int32_t boxH = canvas.TextHeight(text) + 12;
  x = std::max(x, 0);
  y = std::max(y, 0);
  if (x + boxW > areaWidth - 1) x = areaWidth - 1 - boxW;
  if (y + boxH > areaHeight - 1) y = areaHeight - 1 - boxH;

  saved.SetPixelFormat(pf24bit);
  saved.SetSize(boxW, boxH);
  for (int32_t j = 0; j < boxH; ++j) {
    uint8_t* row = saved.ScanLine(j);
    if (!row) break;
    for (int32_t i = 0; i < boxW; ++i) {
      TColor c = canvas.Pixel(x + i, y + j);
      if (c == clNone) c = clBlack;  // outside the canvas
      row[3 * i] = static_cast<uint8_t>(c >> 16);
      row[3 * i + 1] = static_cast<uint8_t>(c >> 8);
      row[3 * i + 2] = static_cast<uint8_t>(c);
    }
  }

  canvas.Brush = brush;
  canvas.FillRect(Rect(x + 6, y + 6, x + boxW, y + boxH));
  Draw3DFrame(canvas, x + 6, y + 6, x + boxW - 1, y + boxH - 1, clBtnHighlight, clBtnShadow);
  canvas.TextOut(x + 9, y + 9, text);
}

namespace {

TColor Gray(int32_t g) {
  const uint8_t v = BLimit(g);
  return RGBColor(v, v, v);
}
// Step i of n across the thickness: darkest (255 / e) at 0, white at n.
int32_t ThicknessGray(int32_t i, int32_t n) {
  return TruncToInt32(255.0 * std::exp(static_cast<double>(i) / n) / std::numbers::e);
}
// Step j of h along the length: white at 0, fading to 255 / e^3 at h.
int32_t LengthGray(int32_t j, int32_t h) {
  return BLimit(TruncToInt32(255.0 * std::exp(static_cast<double>(h - 3 * j) / h) / std::numbers::e));
}

// One strip in strip coordinates: i across the thickness (0..n-1), j along
// the length. toCanvas maps (i, j) to canvas pixels.
template <typename Map>
void ShadowStrip(TCanvas& canvas, int32_t style, int32_t n, int32_t h, const TRect& area, Map&& toCanvas) {
  if (style == 1) {
    canvas.FillRect(area);
    return;
  }
  if (n <= 0 || h <= 0) return;
  if (style == 2) {
    canvas.Pen.Width = 1;
    for (int32_t i = 0; i < n; ++i) {
      canvas.Pen.Color = Gray(ThicknessGray(i, n));
      const auto [ax, ay] = toCanvas(i, 0);
      const auto [bx, by] = toCanvas(i, h);
      canvas.MoveTo(ax, ay);
      canvas.LineTo(bx, by);
    }
  } else if (style == 3) {
    for (int32_t j = 0; j <= h; ++j) {
      const int32_t rowGray = LengthGray(j, h);
      // Past h - n + 1 each row starts one step further in: a diagonal end.
      const int32_t first = std::max(0, j - (h - n + 1));
      for (int32_t i = first; i < n; ++i) {
        const auto [px, py] = toCanvas(i, j);
        canvas.SetPixel(px, py, Gray(std::max(rowGray, ThicknessGray(i, n))));
      }
    }
  }
}

struct TXY {
  int32_t x, y;
};

}  // namespace

void DrawHorzShadowStrip(TCanvas& canvas, int32_t x1, int32_t y1, int32_t style, int32_t y2, int32_t x2) {
  ShadowStrip(canvas, style, y2 - y1, x2 - x1, Rect(x1, y1, x2, y2), [&](int32_t i, int32_t j) {
    return TXY{x1 + j, y1 + i};
  });
}

void DrawVertShadowStrip(TCanvas& canvas, int32_t x1, int32_t y1, int32_t style, int32_t y2, int32_t x2) {
  ShadowStrip(canvas, style, x2 - x1, y2 - y1, Rect(x1, y1, x2, y2), [&](int32_t i, int32_t j) {
    return TXY{x1 + i, y1 + j};
  });
}

}  // namespace pixoran
