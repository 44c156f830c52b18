// Message windows on per-thread message queues, and timers of those queues.
//
// A window belongs to the thread that allocated it; its messages are
// dispatched by that thread's queue (vcl::Application runs it). A window
// handle is an opaque number, never a pointer to our memory: a message for a
// window that has been destroyed is dropped, never dispatched. On Windows the
// windows are the system's message-only windows and a handle is the system's
// HWND; PostMessageW and DefWindowProcW are the system's.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace rtl {

using HWND = std::uintptr_t;  // 0 is no window
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

struct TMessage {
  std::uint32_t Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

using TWndMethod = std::function<void(TMessage& Message)>;

// Creates a hidden window on the calling thread whose messages go to Method
// (an empty Method drops them). Returns its handle, never 0; handles are not
// reused within a process. The window lives until DeallocateHWnd or until its
// thread ends. Throws std::system_error when the thread's queue cannot be
// created (no descriptors left).
HWND AllocateHWnd(TWndMethod Method);
// Destroys the window; messages still queued for it are dropped. Meant for
// the window's thread, where it may also be called from inside the window's
// own method (which then runs to its end). From another thread it waits while
// the window's method is running. An unknown or already destroyed handle is
// ignored.
void DeallocateHWnd(HWND Wnd);
// Queues a message for the window's thread and returns at once. Safe from any
// thread; wakes the owning thread's loop; the method runs on that thread.
// Messages are dispatched once each, in the order they were posted (never
// merged). False when there is no such window (0, destroyed, or its thread
// has ended), and on Windows also when the window's thread has the most
// posted messages the system lets a queue hold (10,000 by default); there
// GetLastError says why (ERROR_INVALID_WINDOW_HANDLE, ERROR_NOT_ENOUGH_QUOTA).
bool PostMessageW(HWND Wnd, std::uint32_t Msg, WPARAM WParam, LPARAM LParam);
// Default handling of a message: nothing, result 0.
LRESULT DefWindowProcW(HWND Wnd, std::uint32_t Msg, WPARAM WParam, LPARAM LParam);
// Windows alive in this process (for leak checks). Safe from any thread.
int LiveWindowCount();

using Clock = std::chrono::steady_clock;

// The message queue of one thread: posted messages and timers. Obtained with
// ForCurrentThread(); lives as long as its thread (the initial thread's queue
// until the process ends). Apart from WakeFd, its members are for the owning
// thread only (checked by an assertion in debug builds).
class MessageQueue {
 public:
  static MessageQueue& ForCurrentThread();

  // Becomes readable while work is pending (a message, or a timer due), so a
  // host loop (poll, epoll, GLib, Qt) can wait on it and then call
  // ProcessPending(). -1 on Windows (see vcl::TApplication::EventFd).
  int WakeFd() const;

  // Dispatches every message pending now (in posting order) and then every
  // timer due now, reading the clock once; returns whether anything was
  // dispatched. Messages posted meanwhile wait for the next call. Re-entrant:
  // a method that calls it goes on with the messages still pending.
  bool ProcessPending();
  // Blocks until a message is pending or a timer is due (or until timeout).
  // May return early (a signal); callers look again.
  void WaitForWork(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

  using TimerId = std::uint64_t;
  // A repeating timer of this queue, first due `interval` from now. After
  // StopTimer returns, its callback is not called again, even when it was
  // already due. A due timer runs once per pass however late it is, and is
  // next due `interval` after that pass's time. Ids are never reused; an
  // unknown id is ignored by StopTimer.
  TimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> callback);
  void StopTimer(TimerId id);
  // Timers started and not stopped (for leak checks).
  int ActiveTimerCount() const;

  // The time the queue's timers run on; a test can replace it (ManualClock).
  Clock::time_point Now() const;

  struct Impl;
  explicit MessageQueue(std::unique_ptr<Impl> impl);
  ~MessageQueue();

 private:
  friend class ManualClock;
  std::unique_ptr<Impl> impl_;
};

// While alive, the calling thread's queue runs its timers on this clock, which
// stands still until Advance() moves it. A test advances a 5000 ms timer
// without waiting for it: Advance(5000ms), then process the queue.
class ManualClock {
 public:
  ManualClock();
  ~ManualClock();
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;
  void Advance(std::chrono::milliseconds delta);
  Clock::time_point Now() const { return now_; }

 private:
  MessageQueue& queue_;
  Clock::time_point now_;
};

}  // namespace rtl
