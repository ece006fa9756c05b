#pragma once
// Video capture object. The capture graph of the platform the library was
// first written for does not exist here: the object keeps its lists, its
// notification target and its teardown, connects to nothing and reports no
// device (Connected and IsRunning stay false).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "platform/classes.h"

namespace pixoran {

class PIXORAN_IO_EXPORT TPXDirectShow {
 public:
  TPXDirectShow();
  // Disconnect, then ClearFormats.
  ~TPXDirectShow();
  TPXDirectShow(const TPXDirectShow&) = delete;
  TPXDirectShow& operator=(const TPXDirectShow&) = delete;

  // True while a filter graph is held (never, on this platform).
  bool Connected() const { return graph_ != nullptr; }
  // True unless the graph is stopped; false without a media control.
  bool IsRunning() const;
  // Stops a running graph, releases every interface and clears the
  // connection state word.
  void Disconnect();
  // Frees the format objects.
  void ClearFormats();
  // Where the new-frame and event notifications go.
  void SetNotify(uint64_t window, uint32_t newFrameMessage, uint32_t eventMessage);
  uint64_t NotifyWindow() const { return notifyWindow_; }
  uint32_t NewFrameMessage() const { return newFrameMessage_; }
  uint32_t EventMessage() const { return eventMessage_; }

  // Device and format names (empty: no device is present).
  const std::vector<std::string>& VideoInputs() const { return videoInputs_; }
  const std::vector<std::string>& AudioInputs() const { return audioInputs_; }
  const std::vector<std::string>& VideoFormats() const { return videoFormats_; }
  const std::vector<std::string>& VideoCodecs() const { return videoCodecs_; }
  int32_t FormatCount() const { return static_cast<int32_t>(formats_.size()); }

 private:
  std::vector<std::string> videoInputs_, audioInputs_, videoFormats_, videoCodecs_;
  std::vector<std::unique_ptr<TObject>> formats_;
  std::vector<std::string> fileNames_;
  // The capture graph's interfaces: none can be obtained here, so they stay
  // null and Disconnect only forgets them.
  void* graph_ = nullptr;
  void* captureFilter_ = nullptr;
  void* mediaControl_ = nullptr;
  void* sampleGrabber_ = nullptr;
  std::string captureFile_, deviceName_;
  [[maybe_unused]] uint32_t state_ = 0;
  uint32_t connectState_ = 0;
  uint64_t notifyWindow_ = 0;
  uint32_t newFrameMessage_ = 0, eventMessage_ = 0;
  [[maybe_unused]] uint32_t reserved_ = 0;
};

}  // namespace pixoran
