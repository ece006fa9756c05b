#pragma once
// Text laid out one character at a time (the memo editor): a font's cell
// metrics, the advance of one character, and drawing one character on its
// baseline. The font is the canvas TFont, mapped to the platform font the
// same way TCanvas maps it (a positive Height is the pixel size).
#include <cstdint>

#include "platform/graphics.h"

namespace pixoran {

struct TCellMetrics {
  int32_t Height = 0;   // ascent + descent: the character cell
  int32_t Ascent = 0;
  int32_t Descent = 0;
};

// Metrics and advances need a GUI application; without one they are 0.
TCellMetrics CellMetrics(const TFont& font);
int32_t CharAdvance(const TFont& font, char32_t c);

// Draws c with its baseline at y and its cell starting at x. Unless brush is
// bsClear the cell (advance × height) is filled with the brush colour first.
// clip, when given, limits the drawing.
void DrawCellChar(TBitmap& target, const TFont& font, const TBrush& brush, int x, int baselineY, char32_t c,
                  const TRect* clip = nullptr);

}  // namespace pixoran
