// Helpers of the stress tests: a fixture that counts the process's resources
// around the simulated-bridge fixture, and a message-loop hook that runs an
// action after a given number of reports of a send.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <thread>

#include "ResourceCounts.h"
#include "VyHIDTestSupport.h"
#include "rtl/Messages.h"

namespace vyhid_test {

// A stream that only SimReset or unloading the bridge ends.
constexpr std::uint64_t kEndlessStream = std::numeric_limits<std::uint64_t>::max();

// A report whose every byte says where it is, so a torn copy shows.
inline THIDreport NumberedReport(std::uint8_t id) {
  THIDreport report{};
  report.ReportID = id;
  for (std::size_t i = 0; i < 64; ++i) report.Data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return report;
}

// The counts after a test, once the threads it joined have left the kernel's
// task list: pthread_join returns when a thread has stopped running, a moment
// before the kernel removes its entry from /proc/self/task, and there is
// nothing to wait on for that. A leaked thread never goes, so the bounded
// retry cannot hide one.
inline ResourceCounts CountsSettledTo(const ResourceCounts& expected) {
  ResourceCounts now = ResourceCounts::Now();
  for (int attempt = 0; attempt < 100000 && now.Threads > expected.Threads; ++attempt) {
    std::this_thread::yield();
    now = ResourceCounts::Now();
  }
  return now;
}

// The simulated-bridge fixture, with the process's resources counted before
// the bridge is loaded and after it has been unloaded (which joins its
// thread), and the run time of each test printed for the reliability table.
class StressTest : public SimBridgeTest {
 protected:
  void SetUp() override {
    before_ = ResourceCounts::Now();
    started_ = std::chrono::steady_clock::now();
    SimBridgeTest::SetUp();
  }
  void TearDown() override {
    SimBridgeTest::TearDown();
    EXPECT_EQ(CountsSettledTo(before_), before_) << "the test leaked";
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started_)
                        .count();
    std::printf("[ figures  ] %s: %lld ms\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                static_cast<long long>(ms));
  }

 private:
  ResourceCounts before_;
  std::chrono::steady_clock::time_point started_;
};

// Prints one measured figure of the running test, for the reliability table.
inline void Figure(const std::string& name, long long value) {
  std::printf("[ figures  ] %s: %s = %lld\n",
              ::testing::UnitTest::GetInstance()->current_test_info()->name(), name.c_str(), value);
}

// Counts the turns of this thread's message loop: a message to its own window
// that posts itself again each time it is dispatched, so it runs once per
// processing, that is once after every report of a send. On turn `at` it
// runs `action`.
class LoopTurnHook {
 public:
  LoopTurnHook(int at, std::function<void()> action) : at_(at), action_(std::move(action)) {
    window_ = rtl::AllocateHWnd([this](rtl::TMessage& msg) {
      if (msg.Msg != kTurn) return;
      if (++turns_ == at_) action_();
      rtl::PostMessageW(window_, kTurn, 0, 0);
    });
    rtl::PostMessageW(window_, kTurn, 0, 0);
  }
  ~LoopTurnHook() { rtl::DeallocateHWnd(window_); }
  LoopTurnHook(const LoopTurnHook&) = delete;
  LoopTurnHook& operator=(const LoopTurnHook&) = delete;
  int Turns() const { return turns_; }

 private:
  static constexpr std::uint32_t kTurn = 0x0401;
  int at_;
  int turns_ = 0;
  std::function<void()> action_;
  rtl::HWND window_ = 0;
};

// Waits until counter reaches at least n.
template <class T>
void WaitAtLeast(const std::atomic<T>& counter, T n) {
  for (T seen = counter.load(); seen < n; seen = counter.load()) counter.wait(seen);
}

}  // namespace vyhid_test
