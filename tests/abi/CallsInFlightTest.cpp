#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "CallsInFlight.h"

namespace vyhid::abi {
namespace {

// A wait returns once the calls that entered before it have left; a waiter
// inside calls of its own does not wait for those.
TEST(CallsInFlight, AWaitOutlastsTheCallsInFlightButNotTheWaitersOwn) {
  CallsInFlight calls;
  calls.AwaitLeft();  // none in flight
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, leave = false, waited = false;
  std::thread call([&] {
    const CallsInFlight::Scope scope(calls);
    std::unique_lock lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return leave; });
  });
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return entered; });
  lock.unlock();
  std::thread waiter([&] {
    const CallsInFlight::Scope own(calls);
    calls.AwaitLeft(1);
    const std::lock_guard guard(mutex);
    waited = true;
  });
  lock.lock();
  EXPECT_FALSE(waited) << "returned with a call in flight";
  leave = true;
  changed.notify_all();
  lock.unlock();
  call.join();
  waiter.join();
  EXPECT_TRUE(waited);
}

}  // namespace
}  // namespace vyhid::abi
