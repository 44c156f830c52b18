// Calls that have entered and not yet left (callbacks, deliveries), and a
// wait until they have left: what lets an object outlive the calls that
// started before it was withdrawn.
//
// The handshake: a call counts itself (Enter) before it looks at what it
// may use; the withdrawing side first makes that unusable for later calls,
// then waits (AwaitLeft). One of the two sees the other, as both are
// sequentially consistent, so once AwaitLeft returns no call that started
// before the withdrawal is still running. Entering and leaving take no lock
// unless someone waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace vyhid::abi {

class CallsInFlight {
 public:
  CallsInFlight() = default;
  CallsInFlight(const CallsInFlight&) = delete;
  CallsInFlight& operator=(const CallsInFlight&) = delete;

  // Counts one call in, for its scope.
  class Scope {
   public:
    explicit Scope(CallsInFlight& calls) : calls_(calls) { calls_.Enter(); }
    ~Scope() { calls_.Leave(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    CallsInFlight& calls_;
  };

  void Enter() { count_.fetch_add(1); }
  void Leave() {
    // The count falls before the look at the waiters, and a waiter counts
    // itself before its look at the count: one of the two sees the other.
    count_.fetch_sub(1);
    if (waiters_.load() > 0) WakeWaiters();
  }
  // Waits until at most `own` calls are in flight: a caller inside calls of
  // its own passes their number, so that it does not wait for itself. Safe
  // from any thread, by any number of waiters.
  void AwaitLeft(int own = 0);

 private:
  void WakeWaiters();

  std::atomic<int> count_{0};
  // Waiters inside AwaitLeft: a leaving call wakes them only when there is
  // one. (Not an atomic's wait: on Windows the C++ library's atomic wait can
  // miss a notification that comes between its look at the value and its
  // sleep.)
  std::atomic<int> waiters_{0};
  std::mutex mutex_;
  std::condition_variable left_;
};

}  // namespace vyhid::abi
