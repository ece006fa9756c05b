#pragma once
// What the processing component needs of a viewer's selection. The viewer
// that has selections implements this beside its viewer base; the component
// finds it on the attached viewer by a cross cast, so this layer never sees
// the viewer's own class.
#include <cstdint>

#include "platform/pxexport.h"
#include "core/kopxutils_geometry.h"
#include "core/pxmask.h"
#include "platform/streams.h"

namespace pixoran {

class PIXORAN_PROC_EXPORT TPXSelectionSource {
 public:
  virtual ~TPXSelectionSource() = default;

  // The mask of the selected pixels (of the image's size), never nullptr.
  virtual TPXMask* GetSelectionMask() = 0;
  // Whether a selection is present.
  virtual bool HasSelection() = 0;
  // The selection polygon (separators included) and its point count.
  virtual TPXPoint* GetSelectionPoints() = 0;
  virtual int32_t GetSelectionPointCount() = 0;
  // The selection stream: polygon, bounds, presence and mask.
  virtual void SaveSelectionToStream(TStream& stream) = 0;
  virtual bool LoadSelectionFromStream(TStream& stream) = 0;
};

}  // namespace pixoran
