#pragma once
// Helpers the bitmap container's sources share. Private to core/kopxutils_bitmap*.cpp and
// core/kopxutils_convert.cpp.
#include "core/kopxdefs.h"

namespace pixoran {

// The message of a refused storage request.
extern const char* const kNoStorage;

// Throws EPXBitmapError for the formats a platform bitmap cannot hold (px32f, pxCMYK).
void RefuseForTBitmap(TPXPixelFormat format);

}  // namespace pixoran
