// Helpers of the opening and transfer tests, on top of the shared fixture.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "VyHIDTestSupport.h"
#include "rtl/Messages.h"

namespace vyhid_test {

// Runs an action when the message loop next dispatches its message: posted at
// construction, so that it runs inside the first message processing that
// follows, for instance between the first and the second report of a send.
class PostedAction {
 public:
  explicit PostedAction(std::function<void()> action) : action_(std::move(action)) {
    window_ = rtl::AllocateHWnd([this](rtl::TMessage& msg) {
      if (msg.Msg == kRun) action_();
    });
    rtl::PostMessageW(window_, kRun, 0, 0);
  }
  ~PostedAction() { rtl::DeallocateHWnd(window_); }
  PostedAction(const PostedAction&) = delete;
  PostedAction& operator=(const PostedAction&) = delete;

 private:
  static constexpr std::uint32_t kRun = 0x0400;
  std::function<void()> action_;
  rtl::HWND window_ = 0;
};

// n bytes 1, 2, 3, ... wrapping after 255 and never 0, so that every byte of
// a report tells where in the string it came from.
inline std::string Pattern(std::size_t n, unsigned first = 1) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((first - 1 + i) % 255 + 1);
  return s;
}

// The 64 payload bytes a report must carry: `bytes`, then zeros.
inline std::string Payload(std::string_view bytes) {
  std::string p(bytes.substr(0, 64));
  p.resize(64, '\0');
  return p;
}

inline std::string PayloadOf(const THIDreport& r) {
  return std::string(reinterpret_cast<const char*>(r.Data.Bytes), 64);
}

}  // namespace vyhid_test
