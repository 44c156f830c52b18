#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "CallsInFlight.h"

namespace vyhid::abi {
namespace {

// A wait returns once the calls that entered before it have left; a waiter
// inside calls of its own does not wait for those.
TEST(CallsInFlight, AWaitOutlastsTheCallsInFlightButNotTheWaitersOwn) {
  CallsInFlight calls;
  calls.AwaitLeft();  // none in flight
  std::atomic<bool> waiting{false}, leaving{false};
  calls.Enter();
  std::thread waiter([&] {
    const CallsInFlight::Scope own(calls);
    waiting = true;
    calls.AwaitLeft(1);
    EXPECT_TRUE(leaving) << "returned with a call in flight";
  });
  while (!waiting) std::this_thread::yield();
  leaving = true;
  calls.Leave();
  waiter.join();
}

}  // namespace
}  // namespace vyhid::abi
