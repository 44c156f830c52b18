#include "CallsInFlight.h"

namespace vyhid::abi {

void CallsInFlight::WakeWaiters() {
  // Taken and let go: a waiter between its look at the count and its sleep
  // holds it, so the wake-up cannot come in between.
  { const std::lock_guard lock(mutex_); }
  left_.notify_all();
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
