// The platform part of a thread's message queue: the thread's message
// windows and their posted messages, and the wait for work. The portable part
// (MessageQueue.cpp) keeps the timers and tells the pump when the next one is
// due. One file per platform implements it: posix/MessagePumpPosix.cpp
// (windows of our own, an eventfd and a timerfd), win32/MessagePumpWin32.cpp
// (the system's message-only windows and thread message queue).
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "rtl/Messages.h"

namespace rtl::detail {

class MessagePump {
 public:
  // The pump of the calling thread; throws std::system_error when the
  // platform refuses the resources it needs.
  static std::unique_ptr<MessagePump> Create();
  // Runs on the pump's thread when the thread ends (or at process exit for
  // the initial thread): the thread's windows and their messages go with it.
  virtual ~MessagePump() = default;

  // A descriptor that is readable while work is pending, or -1 when the
  // platform has none (a host loop then waits on the thread's message queue
  // by the platform's own means).
  virtual int Fd() const = 0;
  // Dispatches the messages posted to this thread's windows before the call
  // (a nested call goes on with those still pending); returns whether any
  // was dispatched. An exception from a window method reaches the caller.
  virtual bool DispatchMessages() = 0;
  // The timers' state: the next deadline (a point of the steady clock), due
  // at once, or none. Replaces the previous setting.
  virtual void ArmTimer(std::optional<Clock::time_point> deadline, bool due_now) = 0;
  // Blocks until a message is pending, the armed deadline passes, or the
  // timeout passes; may return early.
  virtual void Wait(std::optional<std::chrono::milliseconds> timeout) = 0;
};

// The calling thread's pump (creating its queue when needed).
MessagePump& CurrentPump();

// Whether the calling thread is the process's initial thread, whose queue is
// kept until the process ends (static objects may still use it after the
// thread-local storage of that thread is gone).
bool IsInitialThread();

}  // namespace rtl::detail
