// Drawing of the vector objects onto the back buffer (screen coordinates,
// zoomed) and into the image (image coordinates), with the optional
// pipeline through a work bitmap with alpha.
#include "view/pxtextc.h"
#include "view/pxvect.h"

namespace pixoran {

void TPixoranVect::DrawLayersToBackBuffer(TBitmap& buffer, const TRect& rect) {
  TPixoranView::DrawLayersToBackBuffer(buffer, rect);
}

void TPixoranVect::DrawMemo(TPXVObject& object, TBitmap& target, int32_t x1, int32_t y1, int32_t, int32_t, double d,
                            bool alphaPass) {
  DrawMemoObject(object, target, x1, y1, d, alphaPass);
}

}  // namespace pixoran
