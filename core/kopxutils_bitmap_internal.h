#pragma once
// Helpers the bitmap container's sources share. Private to core/kopxutils_bitmap*.cpp and
// core/kopxutils_convert.cpp.
#include "platform/pxexport.h"
#include "core/kopxdefs.h"

namespace pixoran {

// The message of a refused storage request.
extern PIXORAN_CORE_EXPORT const char* const kNoStorage;

// Throws EPXBitmapError for the formats a platform bitmap cannot hold (px32f, pxCMYK).
PIXORAN_CORE_EXPORT void RefuseForTBitmap(TPXPixelFormat format);

}  // namespace pixoran
