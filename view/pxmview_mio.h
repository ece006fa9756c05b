#pragma once
// Attaches a thumbnail view to the multi-image component, which reaches it
// through the I/O layer's TPXMIOView.
#include <memory>

#include "platform/pxexport.h"
#include "io/pxmioview.h"

namespace pixoran {

class TPixoranMView;
class TPixoranMIO;

// The view as the component sees it; nullptr for nullptr.
PIXORAN_VIEW_EXPORT std::unique_ptr<TPXMIOView> MViewLink(TPixoranMView* view);
// mio.SetAttachedMView(MViewLink(view)); nullptr detaches.
PIXORAN_VIEW_EXPORT void AttachMView(TPixoranMIO& mio, TPixoranMView* view);

}  // namespace pixoran
