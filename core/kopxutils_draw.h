#pragma once
// Drawing helpers on the platform canvas (frames, the text box of the
// viewers, drop-shadow strips). The viewers' scroll-bar calls are in
// kopxutils_controls.h.
#include <cstdint>
#include <string>

#include "platform/pxexport.h"
#include "platform/graphics.h"

namespace pixoran {

// Left and top edges in topLeft, bottom and right edges in bottomRight,
// one-pixel solid lines; x2, y2 is the frame's far corner (drawn).
PIXORAN_CORE_EXPORT void Draw3DFrame(TCanvas& canvas, int32_t x1, int32_t y1, int32_t x2, int32_t y2, TColor topLeft,
                                     TColor bottomRight);

// Draws a framed text box of (text width + 12) x (text height + 12) at x, y,
// first moving x and y to 0 or more and so that the box ends before the
// area's right and bottom edge less one. What lay under the box is copied
// into saved (made pf24bit of the box's size) so the caller can restore it.
PIXORAN_CORE_EXPORT void DrawTextBox(TCanvas& canvas, int32_t& x, int32_t& y, int32_t areaWidth, int32_t areaHeight,
                                     TBitmap& saved, const TBrush& brush, const TFont& font, const std::string& text);

// Drop-shadow strip in x1..x2, y1..y2. A horizontal strip runs along x
// (length x2 - x1) with its thickness along y; a vertical strip the other
// way. Style 1 fills with the canvas brush; style 2 draws one line per step
// of thickness, darkest next to the object; style 3 also fades in along the
// length and cuts the far end diagonally, pixel by pixel.
PIXORAN_CORE_EXPORT void DrawHorzShadowStrip(TCanvas& canvas, int32_t x1, int32_t y1, int32_t style, int32_t y2,
                                             int32_t x2);
PIXORAN_CORE_EXPORT void DrawVertShadowStrip(TCanvas& canvas, int32_t x1, int32_t y1, int32_t style, int32_t y2,
                                             int32_t x2);

}  // namespace pixoran
