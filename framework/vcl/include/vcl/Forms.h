// The application object: it runs the calling thread's message loop.
#pragma once

#include <atomic>

namespace vcl {

class TApplication {
 public:
  // Dispatches everything pending on the calling thread (messages and due
  // timers) and returns.
  void ProcessMessages();
  // Waits until something is pending on the calling thread, then dispatches
  // what is pending.
  void HandleMessage();
  // Runs HandleMessage until Terminate is called.
  void Run();
  // Makes Run return; safe from any thread.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  // A descriptor that becomes readable when the calling thread has work
  // pending, for hosts that drive the loop from their own poll.
  int EventFd() const;

 private:
  std::atomic<bool> terminated_{false};
};

extern TApplication Application;

}  // namespace vcl
