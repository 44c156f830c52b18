// The application object: it runs the calling thread's message loop.
#pragma once

#include <atomic>
#include <cstdint>

namespace vcl {

// Every member works on the calling thread's message queue
// (rtl::MessageQueue::ForCurrentThread()); message methods and OnTimer
// handlers run inside these calls, on that thread. A handler may call
// ProcessMessages itself: the nested call goes on with the messages still
// pending, and no message is dispatched twice.
class TApplication {
 public:
  // Dispatches everything pending on the calling thread (messages and due
  // timers) and returns. Messages posted while it runs wait for the next call.
  void ProcessMessages();
  // Waits until something is pending on the calling thread, then dispatches
  // what is pending. May return without dispatching anything (a signal
  // interrupted the wait).
  void HandleMessage();
  // Runs HandleMessage until Terminate is called (returns at once when it
  // already was). One thread at a time runs it.
  void Run();
  // Makes Run return; safe from any thread (not from a signal handler): it
  // wakes the thread that runs it. Terminated stays set.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  // A descriptor that becomes readable when the calling thread has work
  // pending, for hosts that drive the loop from their own poll. -1 on
  // Windows, where messages and timers live in the thread's system message
  // queue: a host waits on that queue (MsgWaitForMultipleObjectsEx with
  // QS_ALLINPUT) with a timeout no later than the next timer, then calls
  // ProcessMessages.
  int EventFd() const;

 private:
  std::atomic<bool> terminated_{false};
  std::atomic<std::uintptr_t> runWindow_{0};  // Run's wake-up window, 0 outside Run
};

// Process-wide: the one application object.
extern TApplication Application;

}  // namespace vcl
