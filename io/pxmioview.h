#pragma once
// What the multi-image component needs of a thumbnail view. The view layer
// implements it over its thumbnail view (view/pxmview_mio.cpp), so that the
// I/O layer never includes the view layer.
#include <cstdint>
#include <string>

#include "platform/pxexport.h"
#include "platform/graphics.h"

namespace pixoran {

class TPXBitmap;
class TPXViewLink;

// Kinds of change a thumbnail view announces through its bitmap-change
// callbacks (LastChange while the callbacks run).
constexpr int32_t pxmcNone = 0, pxmcInserted = 1, pxmcDeleted = 2, pxmcCleared = 3;

class PIXORAN_IO_EXPORT TPXMIOView {
 public:
  virtual ~TPXMIOView() = default;
  // The control: its bitmap-change callbacks and removal notice tell the
  // component of every change and of its end.
  virtual TPXViewLink* Control() = 0;
  // The change being announced, and where, while the callbacks run.
  virtual int32_t LastChange() = 0;
  virtual int32_t LastChangeIndex() = 0;

  virtual int32_t ImageCount() = 0;
  // -1: none.
  virtual int32_t SelectedImage() = 0;
  virtual void SetSelectedImage(int32_t index) = 0;
  // Both announce the change through the callbacks.
  virtual void InsertImageNoSelect(int32_t index) = 0;
  virtual void DeleteImage(int32_t index) = 0;
  // Stores a copy; false when it could not be stored.
  virtual bool SetImageBitmap(int32_t index, TPXBitmap& bitmap) = 0;
  virtual void SetImageDelayTime(int32_t index, int32_t ms) = 0;
  virtual void SetImageBackground(int32_t index, TColor colour) = 0;
  // count images of width x height at bits per pixel are about to come.
  virtual void ReserveCacheSpace(int32_t count, int32_t width, int32_t height, int32_t bits) = 0;
  // The view loads the file into the image itself; false on failure.
  virtual bool LoadImageFromFile(int32_t index, const std::string& fileName) = 0;
  // A copy of the stored image; false when there is none.
  virtual bool CopyImage(int32_t index, TPXBitmap& bitmap) = 0;
  // Lays out and repaints.
  virtual void Refresh() = 0;
};

}  // namespace pixoran
