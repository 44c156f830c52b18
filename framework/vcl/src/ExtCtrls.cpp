// TTimer.
#include "vcl/ExtCtrls.h"

#include <chrono>

namespace vcl {

TTimer::TTimer(rtl::TComponent* AOwner)
    : rtl::TComponent(AOwner), queue_(rtl::MessageQueue::ForCurrentThread()) {}

TTimer::~TTimer() {
  if (id_ != 0) queue_.StopTimer(id_);
}

void TTimer::SetEnabled(bool value) {
  if (value != enabled_) {
    enabled_ = value;
    UpdateTimer();
  }
}

void TTimer::SetInterval(std::uint32_t value) {
  if (value != interval_) {
    interval_ = value;
    UpdateTimer();
  }
}

void TTimer::SetOnTimer(rtl::TNotifyEvent handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

// Any change restarts the countdown, and stopping the queue's timer is
// enough to cancel a firing that is already due.
void TTimer::UpdateTimer() {
  if (id_ != 0) {
    queue_.StopTimer(id_);
    id_ = 0;
  }
  if (enabled_ && interval_ != 0 && onTimer_) {
    id_ = queue_.StartTimer(std::chrono::milliseconds(interval_), [this] {
      // A copy: the handler may replace OnTimer or free this timer.
      const rtl::TNotifyEvent handler = onTimer_;
      handler(this);
    });
  }
}

}  // namespace vcl
