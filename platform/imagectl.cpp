#include "platform/imagectl.h"

#include "platform/imagelink.h"

namespace pixoran {

TImage::TImage(TComponent* owner, TWinControl* parent)
    : TCustomControl(owner, parent), picture_(std::make_unique<TBitmap>()) {
  // The components below the widget part hold image controls by pointer
  // only: from now on they can reach this one.
  SetImageControlCalls([](TImage* image) -> TComponent* { return image; },
                       [](TImage* image) -> TBitmap* { return &image->Picture(); });
  SetControlStyle(ControlStyle() | csOpaque);
  picture_->OnChange = [this](TObject*) { Invalidate(); };
}

TImage::~TImage() {
  // Listeners wrap the picture: they let go of it while it is still there.
  NotifyRemoval();
  picture_->OnChange = nullptr;
}

void TImage::Paint() {
  TCanvas& c = Canvas();
  c.Brush.Color = ColorToRGB(Color());
  c.FillRect(ClientRect());
  c.Draw(0, 0, *picture_);
}

}  // namespace pixoran
