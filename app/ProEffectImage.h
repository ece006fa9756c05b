#pragma once
// The program's own pixel effects on 24-bit platform bitmaps (blue, green,
// red bytes; row 0 at the top). They work on the whole bitmap, without
// selection, progress or undo: callers copy the picture in and back.
#include <cstdint>

#include "platform/graphics.h"

namespace tolvaren {

using pixoran::TBitmap;

// 0 below 0, 255 above 255, v otherwise.
int32_t ClampToByte(int32_t v);

// Every channel c := c + amount * (255 - c) / 255, clamped.
void BitmapLighten(TBitmap& bitmap, int32_t amount);
// Every channel c := c - amount * c / 255, clamped; the bitmap is made
// 24-bit first.
void BitmapDarken(TBitmap& bitmap, int32_t amount);
// Blocks of n x n pixels from the top-left corner take the colour of their
// top-left pixel; n <= 1 does nothing.
void BitmapMosaic(TBitmap& bitmap, int32_t n);
// dest becomes a copy of source covered with n x n reduced copies of it
// (the strips the reduced copies leave keep the plain copy). With n <= 0 or
// tiles narrower or lower than 5 pixels dest is the plain copy.
void BitmapTile(const TBitmap& source, TBitmap& dest, int32_t n);
// Bilinear reduction of the whole source into dest (sized by the caller),
// in 15-bit fixed point.
void BitmapSmoothResize(const TBitmap& source, TBitmap& dest);
// Polar angle of (x, y) in single precision; -pi/2 for (0, 0).
float PolarAngle(float y, float x);
// Polar twist of source into dest (same size): each ring turns by a quarter
// turn plus its radius / amount, with bilinear sampling and wrap-around.
// amount <= 0 or a dest of another size does nothing.
void BitmapTwist(const TBitmap& source, TBitmap& dest, int32_t amount);

}  // namespace tolvaren
