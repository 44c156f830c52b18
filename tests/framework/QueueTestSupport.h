// Helpers shared by the message-queue tests.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <poll.h>
#endif

#include <string>
#include <system_error>

#include "rtl/Messages.h"

namespace framework_test {

#if defined(_WIN32)
// Windows has no descriptor (EventFd() is -1): whether the thread's system
// queue holds a message, which is what a host loop waits on there.
inline bool Readable(int) {
  return HIWORD(::GetQueueStatus(QS_ALLINPUT)) != 0;
}
// Blocks until the thread's system queue has a message, as a host loop does.
inline void WaitAsAHost(int) {
  ::MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}
// Timers are the portable queue's, not the system's: no host can see them.
inline constexpr bool kHostSeesTimers = false;
// Why the calling thread's last rtl::PostMessageW failed: the system's
// reason (a full queue is ERROR_NOT_ENOUGH_QUOTA).
inline std::string PostFailureReason() {
  const DWORD code = ::GetLastError();
  return std::system_category().message(static_cast<int>(code)) + " (error " +
         std::to_string(code) + ")";
}
#else
// Whether the descriptor is readable right now.
inline bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}
// Blocks until the descriptor is readable, as a host loop does.
inline void WaitAsAHost(int fd) {
  pollfd p{fd, POLLIN, 0};
  ::poll(&p, 1, -1);
}
inline constexpr bool kHostSeesTimers = true;
// A post fails here only when its window is gone.
inline std::string PostFailureReason() {
  return "no such window (destroyed, or its thread has ended)";
}
#endif

// A message window that frees itself.
class ScopedWindow {
 public:
  explicit ScopedWindow(rtl::TWndMethod method) : handle_(rtl::AllocateHWnd(std::move(method))) {}
  ~ScopedWindow() { rtl::DeallocateHWnd(handle_); }
  ScopedWindow(const ScopedWindow&) = delete;
  ScopedWindow& operator=(const ScopedWindow&) = delete;
  rtl::HWND get() const { return handle_; }

 private:
  rtl::HWND handle_;
};

}  // namespace framework_test
