#pragma once
// What code below the widget part (the I/O and processing components) may
// do with an image control (TImage, imagectl.h) it holds by pointer only:
// reach the control as a component, for free notification, and its
// picture. The image control installs the two calls when the first one is
// made, so a program that links no widgets has neither the calls nor a
// control to give them.
#include "platform/pxexport.h"

namespace pixoran {

class TBitmap;
class TComponent;
class TImage;

using TImageComponentCall = TComponent* (*)(TImage* image);
using TImagePictureCall = TBitmap* (*)(TImage* image);
PIXORAN_PLATFORM_EXPORT void SetImageControlCalls(TImageComponentCall component, TImagePictureCall picture);

// nullptr for nullptr, or while no image control has been made.
PIXORAN_PLATFORM_EXPORT TComponent* ImageControlComponent(TImage* image);
PIXORAN_PLATFORM_EXPORT TBitmap* ImageControlPicture(TImage* image);

}  // namespace pixoran
