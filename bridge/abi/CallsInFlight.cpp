#include "CallsInFlight.h"

namespace vyhid::abi {

void CallsInFlight::Leave() {
  // The count falls before the look at the waiters, and a waiter counts
  // itself before its look at the count: one of the two sees the other.
  count_.fetch_sub(1);
  if (waiters_.load() > 0) {
    // Taken and let go: a waiter between its look at the count and its sleep
    // holds it, so the wake-up cannot come in between.
    { const std::lock_guard lock(mutex_); }
    left_.notify_all();
  }
}

void CallsInFlight::AwaitLeft(int own) {
  waiters_.fetch_add(1);
  {
    std::unique_lock lock(mutex_);
    left_.wait(lock, [&] { return count_.load() <= own; });
  }
  waiters_.fetch_sub(1);
}

}  // namespace vyhid::abi
