// The POSIX message pump's wake-up: one descriptor a loop can wait on,
// readable while messages are pending or a timer is due.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "rtl/Messages.h"

namespace rtl::detail {

class WakeSignal {
 public:
  // Throws std::system_error when the descriptors cannot be created.
  static std::unique_ptr<WakeSignal> Create();
  virtual ~WakeSignal() = default;

  // The descriptor to wait on; stays open as long as this object.
  virtual int Fd() const = 0;
  // Makes Fd() readable; safe from any thread. The queue calls it only when
  // its pending flag goes from clear to set, so one post costs one write.
  virtual void Raise() = 0;
  // Undoes Raise(); called by the owning thread when no message is left.
  virtual void Lower() = 0;
  // Owning thread only. Makes Fd() readable from `deadline` on (a point of
  // the steady clock), at once when `due_now`, or never (nullopt); replaces
  // the previous setting and clears a timer readiness that was not consumed.
  virtual void ArmTimer(std::optional<Clock::time_point> deadline, bool due_now) = 0;
  // Owning thread only. Blocks until Fd() is readable or the timeout passes.
  virtual void Wait(std::optional<std::chrono::milliseconds> timeout) = 0;
};

}  // namespace rtl::detail
