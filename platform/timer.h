#pragma once
// The component timer. It needs only Qt Core's event loop, so it is part
// of the platform base; a control's window timers (SetTimer) are in
// controls.h.
#include <cstdint>
#include <memory>

#include "platform/pxexport.h"
#include "platform/classes.h"

class QTimer;

namespace pixoran {

// A component timer: OnTimer (sender the timer) every Interval milliseconds
// while Enabled, on the UI thread. Needs a running Qt application to fire.
class PIXORAN_PLATFORM_EXPORT TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* owner = nullptr);
  ~TTimer() override;
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t ms);
  TNotifyEvent OnTimer;

 private:
  void Apply();
  std::unique_ptr<QTimer> timer_;
  uint32_t interval_ = 1000;
  bool enabled_ = false;
};

}  // namespace pixoran
