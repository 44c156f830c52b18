#include "rtl/Messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "QueueTestSupport.h"
#include "vcl/Forms.h"

namespace {

using framework_test::Readable;
using framework_test::ScopedWindow;
using rtl::HWND;
using rtl::TMessage;

TEST(Messages, EachPostIsDispatchedOnceInOrder) {
  std::vector<rtl::WPARAM> seen;
  ScopedWindow window([&](TMessage& m) { seen.push_back(m.WParam); });
  const int fd = vcl::Application.EventFd();
  EXPECT_FALSE(Readable(fd));
  for (rtl::WPARAM i = 0; i < 100; ++i) ASSERT_TRUE(rtl::PostMessageW(window.get(), 100, i, 0));
  EXPECT_TRUE(Readable(fd));
  vcl::Application.ProcessMessages();
  ASSERT_EQ(seen.size(), 100u);
  for (rtl::WPARAM i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_FALSE(Readable(fd));
}

TEST(Messages, PostsFromManyThreadsKeepCountsAndPerThreadOrder) {
  // Fewer messages in flight than the 10,000 that Windows lets a thread's
  // queue hold, so that a slow main loop tests order and counts, not the quota.
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  constexpr int kPosts = kThreads * kPerThread;
  constexpr std::uint32_t kCounted = 100;
  constexpr std::uint32_t kWake = 101;
  std::vector<std::vector<rtl::LPARAM>> received(kThreads);
  int total = 0;
  ScopedWindow window([&](TMessage& m) {
    if (m.Msg != kCounted) return;
    received.at(m.WParam).push_back(m.LParam);
    ++total;
  });
  // The posters start together, released by a condition variable (the C++20
  // barrier of MinGW's library loses a waiter's wake-up now and then).
  std::mutex startMutex;
  std::condition_variable startSignal;
  bool started = false;
  // A poster whose post fails says why, counts what it leaves unposted and
  // wakes the main loop, which would otherwise wait for those messages.
  std::atomic<int> unposted{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      {
        std::unique_lock lock(startMutex);
        startSignal.wait(lock, [&] { return started; });
      }
      for (int i = 0; i < kPerThread; ++i) {
        if (rtl::PostMessageW(window.get(), kCounted, static_cast<rtl::WPARAM>(t), i)) continue;
        ADD_FAILURE() << "thread " << t << ", message " << i
                      << ": PostMessageW: " << framework_test::PostFailureReason();
        unposted.fetch_add(kPerThread - i);
        // A full queue takes the wake-up once the main loop has made room.
        while (!rtl::PostMessageW(window.get(), kWake, 0, 0)) std::this_thread::yield();
        return;
      }
    });
  }
  {
    std::lock_guard lock(startMutex);
    started = true;
  }
  startSignal.notify_all();
  while (total + unposted.load() < kPosts) vcl::Application.HandleMessage();
  for (auto& poster : posters) poster.join();
  if (unposted.load() != 0) return;  // each failed post is reported above
  // A wake-up that landed after the last message was taken is cleared by the
  // next pass: the descriptor then stays quiet.
  vcl::Application.ProcessMessages();
  EXPECT_FALSE(Readable(vcl::Application.EventFd()));
  EXPECT_EQ(total, kPosts);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(received[t].size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(received[t][i], i) << "thread " << t;
  }
}

TEST(Messages, DestroyedWindowGetsNoQueuedMessageAndItsHandleGoesStale) {
  const int windowsBefore = rtl::LiveWindowCount();
  int calls = 0;
  const HWND old = rtl::AllocateHWnd([&](TMessage&) { ++calls; });
  EXPECT_EQ(rtl::LiveWindowCount(), windowsBefore + 1);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(rtl::PostMessageW(old, 100, 0, 0));
  rtl::DeallocateHWnd(old);
  EXPECT_EQ(rtl::LiveWindowCount(), windowsBefore);
  EXPECT_FALSE(Readable(vcl::Application.EventFd()));  // nothing left to do
  vcl::Application.ProcessMessages();
  EXPECT_EQ(calls, 0);

  // The handle stays dead even after new windows are made.
  int newCalls = 0;
  ScopedWindow fresh([&](TMessage&) { ++newCalls; });
  EXPECT_NE(fresh.get(), old);
  EXPECT_FALSE(rtl::PostMessageW(old, 100, 0, 0));
  rtl::DeallocateHWnd(old);  // a second destroy is harmless
  vcl::Application.ProcessMessages();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(newCalls, 0);
  EXPECT_FALSE(rtl::PostMessageW(0, 100, 0, 0));
}

TEST(Messages, DestroyRacingWithPostersDispatchesNothingAfterwards) {
  std::atomic<bool> destroyed{false};
  std::atomic<int> lateCalls{0};
  const HWND window = rtl::AllocateHWnd([&](TMessage&) {
    if (destroyed.load()) ++lateCalls;
  });
  std::atomic<int> posted{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t) {
    posters.emplace_back([&] {
      while (rtl::PostMessageW(window, 100, 0, 0)) ++posted;
    });
  }
  while (posted.load() < 1000) vcl::Application.HandleMessage();
  rtl::DeallocateHWnd(window);
  destroyed.store(true);
  for (auto& poster : posters) poster.join();  // each ends when its post fails
  vcl::Application.ProcessMessages();
  EXPECT_EQ(lateCalls.load(), 0);
}

TEST(Messages, NestedProcessMessagesGoesOnWithThePendingMessages) {
  std::vector<int> log;  // +n on entry, -n on exit of message n
  HWND self = 0;
  ScopedWindow window([&](TMessage& m) {
    const int n = static_cast<int>(m.WParam);
    log.push_back(n);
    if (n == 2) vcl::Application.ProcessMessages();
    if (n == 3) rtl::PostMessageW(self, 100, 6, 0);  // posted during the nested call
    log.push_back(-n);
  });
  self = window.get();
  for (int n = 1; n <= 5; ++n) rtl::PostMessageW(self, 100, static_cast<rtl::WPARAM>(n), 0);
  vcl::Application.ProcessMessages();
  EXPECT_EQ(log, (std::vector<int>{1, -1, 2, 3, -3, 4, -4, 5, -5, -2}));
  // The message posted during the pass waits for the next one, and comes once.
  log.clear();
  vcl::Application.ProcessMessages();
  vcl::Application.ProcessMessages();
  EXPECT_EQ(log, (std::vector<int>{6, -6}));
}

TEST(Messages, WindowDestroyedFromItsOwnMethod) {
  const int windowsBefore = rtl::LiveWindowCount();
  auto state = std::make_shared<std::vector<int>>();
  HWND self = 0;
  self = rtl::AllocateHWnd([state, &self](TMessage& m) {
    rtl::DeallocateHWnd(self);
    // The method and what it captured stay valid until it returns.
    state->push_back(static_cast<int>(m.WParam));
  });
  for (int i = 0; i < 3; ++i) rtl::PostMessageW(self, 100, static_cast<rtl::WPARAM>(i), 0);
  std::weak_ptr<std::vector<int>> watch = state;
  vcl::Application.ProcessMessages();
  EXPECT_EQ(*state, std::vector<int>{0});
  EXPECT_EQ(rtl::LiveWindowCount(), windowsBefore);
  state.reset();
  EXPECT_TRUE(watch.expired());  // the method was released with the window
}

// Two threads bounce a message: this one waits in HandleMessage, the other
// drives its queue from its own poll on the queue's descriptor, as a host
// loop would. A lost wake-up on either side hangs the test.
TEST(Messages, PostWakesHandleMessageAndAHostPoll) {
  constexpr int kRounds = 2000;
  int pongs = 0;
  ScopedWindow here([&](TMessage&) { ++pongs; });
  std::atomic<HWND> there{0};
  std::mutex m;
  std::condition_variable cv;
  std::thread host([&] {
    int pings = 0;
    ScopedWindow window([&](TMessage&) {
      ++pings;
      rtl::PostMessageW(here.get(), 100, 0, 0);
    });
    const int fd = vcl::Application.EventFd();
    {
      std::lock_guard lock(m);
      there.store(window.get());
    }
    cv.notify_one();
    while (pings < kRounds) {
      framework_test::WaitAsAHost(fd);
      vcl::Application.ProcessMessages();
    }
  });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return there.load() != 0; });
  }
  for (int i = 1; i <= kRounds; ++i) {
    ASSERT_TRUE(rtl::PostMessageW(there.load(), 100, 0, 0));
    while (pongs < i) vcl::Application.HandleMessage();
  }
  host.join();
  EXPECT_EQ(pongs, kRounds);
}

TEST(Messages, WindowsOfAnEndedThreadAreGone) {
  const int windowsBefore = rtl::LiveWindowCount();
  HWND orphan = 0;
  std::thread([&] {
    orphan = rtl::AllocateHWnd([](TMessage&) {});
    rtl::PostMessageW(orphan, 100, 0, 0);
  }).join();
  EXPECT_EQ(rtl::LiveWindowCount(), windowsBefore);
  EXPECT_FALSE(rtl::PostMessageW(orphan, 100, 0, 0));
}

}  // namespace
