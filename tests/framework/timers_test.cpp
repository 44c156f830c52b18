#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "QueueTestSupport.h"
#include "rtl/Messages.h"
#include "vcl/ExtCtrls.h"
#include "vcl/Forms.h"

namespace {

using namespace std::chrono_literals;
using framework_test::Readable;

class Timers : public ::testing::Test {
 protected:
  void SetUp() override { timersBefore_ = queue().ActiveTimerCount(); }
  void TearDown() override { EXPECT_EQ(queue().ActiveTimerCount(), timersBefore_); }
  static rtl::MessageQueue& queue() { return rtl::MessageQueue::ForCurrentThread(); }
  static void Pump() { vcl::Application.ProcessMessages(); }

  rtl::ManualClock clock_;
  int timersBefore_ = 0;
};

TEST_F(Timers, DefaultsAndFiringWithTheTimerAsSender) {
  vcl::TTimer timer;
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);
  std::vector<rtl::TObject*> senders;
  timer.SetOnTimer([&](rtl::TObject* sender) { senders.push_back(sender); });
  clock_.Advance(999ms);
  Pump();
  EXPECT_TRUE(senders.empty());
  clock_.Advance(1ms);
  Pump();
  Pump();
  ASSERT_EQ(senders.size(), 1u);
  EXPECT_EQ(senders[0], &timer);
  clock_.Advance(1000ms);
  Pump();
  EXPECT_EQ(senders.size(), 2u);
}

TEST_F(Timers, NoTimerRunsWithoutHandlerOrInterval) {
  vcl::TTimer timer;
  EXPECT_EQ(queue().ActiveTimerCount(), timersBefore_);
  int calls = 0;
  timer.SetInterval(0);
  timer.SetOnTimer([&](rtl::TObject*) { ++calls; });
  EXPECT_EQ(queue().ActiveTimerCount(), timersBefore_);
  timer.SetInterval(10);
  EXPECT_EQ(queue().ActiveTimerCount(), timersBefore_ + 1);
}

TEST_F(Timers, DescriptorIsReadableExactlyWhileATimerIsDue) {
  if (!framework_test::kHostSeesTimers) GTEST_SKIP() << "no host can wait for timers here";
  vcl::TTimer timer;
  int calls = 0;
  timer.SetInterval(50);
  timer.SetOnTimer([&](rtl::TObject*) { ++calls; });
  const int fd = vcl::Application.EventFd();
  EXPECT_FALSE(Readable(fd));
  clock_.Advance(50ms);
  EXPECT_TRUE(Readable(fd));
  Pump();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(Readable(fd));
}

TEST_F(Timers, DisabledOrDestroyedWhileDueNeverFires) {
  int calls = 0;
  vcl::TTimer disabled;
  disabled.SetOnTimer([&](rtl::TObject*) { ++calls; });
  auto destroyed = std::make_unique<vcl::TTimer>();
  destroyed->SetOnTimer([&](rtl::TObject*) { ++calls; });
  clock_.Advance(5000ms);
  if (framework_test::kHostSeesTimers) {
    EXPECT_TRUE(Readable(vcl::Application.EventFd()));
  }
  disabled.SetEnabled(false);
  destroyed.reset();
  Pump();
  EXPECT_EQ(calls, 0);
  if (framework_test::kHostSeesTimers) {
    EXPECT_FALSE(Readable(vcl::Application.EventFd()));
  }
}

TEST_F(Timers, RestartedInItsOwnHandlerFiresOncePerPass) {
  vcl::TTimer timer;
  int calls = 0;
  timer.SetInterval(100);
  timer.SetOnTimer([&](rtl::TObject* sender) {
    ++calls;
    auto* self = static_cast<vcl::TTimer*>(sender);
    self->SetEnabled(false);
    self->SetEnabled(true);              // a fresh countdown from now
    vcl::Application.ProcessMessages();  // the nested pass must not run it again
  });
  clock_.Advance(100ms);
  Pump();
  Pump();
  EXPECT_EQ(calls, 1);
  clock_.Advance(99ms);
  Pump();
  EXPECT_EQ(calls, 1);
  clock_.Advance(1ms);
  Pump();
  EXPECT_EQ(calls, 2);
}

TEST_F(Timers, TimerStoppedByAnotherDueTimerOfTheSamePassDoesNotFire) {
  std::vector<int> fired;
  vcl::TTimer first;
  auto second = std::make_unique<vcl::TTimer>();
  vcl::TTimer third;
  first.SetInterval(100);
  second->SetInterval(200);
  third.SetInterval(300);
  first.SetOnTimer([&](rtl::TObject*) {
    fired.push_back(1);
    second.reset();  // destroyed while due
    third.SetEnabled(false);
  });
  second->SetOnTimer([&](rtl::TObject*) { fired.push_back(2); });
  third.SetOnTimer([&](rtl::TObject*) { fired.push_back(3); });
  clock_.Advance(300ms);  // all three due; the earliest deadline runs first
  Pump();
  EXPECT_EQ(fired, std::vector<int>{1});
}

TEST_F(Timers, TimerFreedByItsOwnHandler) {
  int calls = 0;
  auto* timer = new vcl::TTimer;
  timer->SetInterval(10);
  timer->SetOnTimer([&](rtl::TObject* sender) {
    ++calls;
    delete sender;
  });
  clock_.Advance(10ms);
  Pump();
  clock_.Advance(10ms);
  Pump();
  EXPECT_EQ(calls, 1);
}

TEST_F(Timers, OwnerFreesItsTimers) {
  int calls = 0;
  {
    rtl::TComponent owner(nullptr);
    auto* timer = new vcl::TTimer(&owner);
    timer->SetOnTimer([&](rtl::TObject*) { ++calls; });
    clock_.Advance(1000ms);
  }
  Pump();
  EXPECT_EQ(calls, 0);
}

TEST(TimersRealClock, FiresOnTheCreatingThreadAndWakesItsLoop) {
  std::thread::id firedOn;
  std::thread worker([&] {
    vcl::TTimer timer;
    timer.SetInterval(1);
    bool fired = false;
    timer.SetOnTimer([&](rtl::TObject*) {
      fired = true;
      firedOn = std::this_thread::get_id();
    });
    while (!fired) vcl::Application.HandleMessage();  // woken by the timer alone
    EXPECT_EQ(firedOn, std::this_thread::get_id());
  });
  worker.join();
  EXPECT_NE(firedOn, std::this_thread::get_id());
}

}  // namespace
