// TTimer: a timer of the creating thread's message queue.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"
#include "rtl/Messages.h"

namespace vcl {

// Calls OnTimer on the creating thread every Interval ms while Enabled (and
// while OnTimer is set and Interval is not 0), from that thread's message
// loop (vcl::Application). After Enabled is set to false, or the timer is
// destroyed, no OnTimer call comes, even one already due. Setting Interval or
// OnTimer, or enabling it, starts the countdown afresh. Sender is the timer.
// The handler may change or free the timer. Use it on the creating thread
// only.
class TTimer : public rtl::TComponent {
 public:
  explicit TTimer(rtl::TComponent* AOwner = nullptr);
  ~TTimer() override;
  rtl::String ClassName() const override { return u"TTimer"; }

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t value);
  const rtl::TNotifyEvent& OnTimer() const { return onTimer_; }
  void SetOnTimer(rtl::TNotifyEvent handler);

 private:
  void UpdateTimer();
  bool enabled_ = true;
  std::uint32_t interval_ = 1000;
  rtl::TNotifyEvent onTimer_;
  rtl::MessageQueue& queue_;
  rtl::MessageQueue::TimerId id_ = 0;
};

}  // namespace vcl
