#pragma once
// The image control: a window that shows one picture, a platform bitmap it
// owns, at its top-left corner on its own colour.
#include <memory>

#include "platform/pxexport.h"
#include "platform/controls.h"
#include "platform/graphics.h"

namespace pixoran {

class PIXORAN_PLATFORM_WIDGETS_EXPORT TImage : public TCustomControl {
 public:
  explicit TImage(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  ~TImage() override;

  // The picture. Code that changes its pixels calls its Modified, and the
  // control repaints.
  TBitmap& Picture() { return *picture_; }
  const TBitmap& Picture() const { return *picture_; }

 protected:
  void Paint() override;

 private:
  std::unique_ptr<TBitmap> picture_;
};

}  // namespace pixoran
