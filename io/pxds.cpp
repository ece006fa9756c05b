#include "io/pxds.h"

namespace pixoran {

TPXDirectShow::TPXDirectShow() = default;

TPXDirectShow::~TPXDirectShow() {
  Disconnect();
  ClearFormats();
}

bool TPXDirectShow::IsRunning() const {
  // Without a media control nothing can run.
  return mediaControl_ != nullptr;
}

void TPXDirectShow::Disconnect() {
  graph_ = captureFilter_ = mediaControl_ = sampleGrabber_ = nullptr;
  connectState_ = 0;
}

void TPXDirectShow::ClearFormats() { formats_.clear(); }

void TPXDirectShow::SetNotify(uint64_t window, uint32_t newFrameMessage, uint32_t eventMessage) {
  notifyWindow_ = window;
  newFrameMessage_ = newFrameMessage;
  eventMessage_ = eventMessage;
}

}  // namespace pixoran
