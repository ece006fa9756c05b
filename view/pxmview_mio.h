#pragma once
// Attaches a thumbnail view to the multi-image component, which reaches it
// through the I/O layer's TPXMIOView.
#include <memory>

#include "io/pxmioview.h"

namespace pixoran {

class TPixoranMView;
class TPixoranMIO;

// The view as the component sees it; nullptr for nullptr.
std::unique_ptr<TPXMIOView> MViewLink(TPixoranMView* view);
// mio.SetAttachedMView(MViewLink(view)); nullptr detaches.
void AttachMView(TPixoranMIO& mio, TPixoranMView* view);

}  // namespace pixoran
