#include "platform/imagelink.h"

#include <atomic>

namespace pixoran {

namespace {
// Set once, from the first image control's constructor; read from any thread.
std::atomic<TImageComponentCall> gComponent{nullptr};
std::atomic<TImagePictureCall> gPicture{nullptr};
}  // namespace

void SetImageControlCalls(TImageComponentCall component, TImagePictureCall picture) {
  gComponent.store(component);
  gPicture.store(picture);
}

TComponent* ImageControlComponent(TImage* image) {
  const TImageComponentCall call = gComponent.load();
  return image && call ? call(image) : nullptr;
}

TBitmap* ImageControlPicture(TImage* image) {
  const TImagePictureCall call = gPicture.load();
  return image && call ? call(image) : nullptr;
}

}  // namespace pixoran
