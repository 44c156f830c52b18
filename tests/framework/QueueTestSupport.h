// Helpers shared by the message-queue tests.
#pragma once

#include <poll.h>

#include "rtl/Messages.h"

namespace framework_test {

// Whether the descriptor is readable right now.
inline bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

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
