#include "GraceTimer.h"

#include <system_error>
#include <utility>

#include "BridgeThreads.h"
#include "Failure.h"

namespace vyhid::hidraw {

bool GraceTimer::Arm(std::weak_ptr<Node> node, std::chrono::steady_clock::time_point deadline) {
  std::thread ended;
  {
    std::lock_guard lock(mutex_);
    node_ = std::move(node);
    deadline_ = deadline;
    if (!running_) {
      ended = std::move(thread_);  // one that ended by itself with its last grace
      try {
        thread_ = std::thread(&GraceTimer::Run, this, ++generation_);
      } catch (const std::system_error& error) {
        node_.reset();
        RecordSystemError("pthread_create", "the reopen grace timer", error.code().value());
        return false;
      }
      running_ = true;
    }
  }
  changed_.notify_all();
  if (ended.joinable()) ended.join();
  return true;
}

void GraceTimer::Disarm() {
  {
    std::lock_guard lock(mutex_);
    node_.reset();
  }
  changed_.notify_all();
}

std::thread GraceTimer::Stop() {
  std::lock_guard lock(mutex_);
  ++generation_;  // the running thread's turn is over
  running_ = false;
  node_.reset();
  changed_.notify_all();
  return std::move(thread_);
}

void GraceTimer::Run(std::uint64_t generation) {
  MarkBridgeThread();
  std::unique_lock lock(mutex_);
  while (generation_ == generation && !node_.expired()) {
    const auto deadline = deadline_;
    if (changed_.wait_until(lock, deadline) == std::cv_status::no_timeout) continue;
    if (generation_ != generation || deadline_ != deadline) continue;  // changed meanwhile
    const std::shared_ptr<Node> node = std::exchange(node_, {}).lock();
    lock.unlock();
    if (node) node->EndHoldIfDue(std::chrono::steady_clock::now());
    lock.lock();
  }
  // Nothing held any more: the next hold starts a thread again.
  if (generation_ == generation) running_ = false;
}

}  // namespace vyhid::hidraw
