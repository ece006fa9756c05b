#include "platform/timer.h"

#include <QTimer>
#include <algorithm>
#include <climits>

namespace pixoran {

TTimer::TTimer(TComponent* owner) : TComponent(owner), timer_(std::make_unique<QTimer>()) {
  timer_->callOnTimeout([this] {
    if (OnTimer) OnTimer(this);
  });
}

TTimer::~TTimer() = default;

void TTimer::SetEnabled(bool value) {
  enabled_ = value;
  Apply();
}

void TTimer::SetInterval(uint32_t ms) {
  interval_ = ms;
  Apply();
}

void TTimer::Apply() {
  if (enabled_ && interval_ > 0) timer_->start(static_cast<int>(std::min<uint32_t>(interval_, INT32_MAX)));
  else timer_->stop();
}

}  // namespace pixoran
