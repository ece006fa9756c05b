#pragma once
// Draws an SVG document over a platform bitmap, stretched to its size.
#include <string>

#include "platform/graphics.h"

namespace pixoran {

// False when the document cannot be parsed (the bitmap is then unchanged).
bool DrawSvgOnBitmap(const std::string& svg, TBitmap& bitmap);

}  // namespace pixoran
