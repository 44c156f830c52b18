#include "GraceTimer.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "BridgeThreads.h"
#include "Failure.h"

namespace vyhid::hidraw {

bool GraceTimer::Arm(std::weak_ptr<Node> node, std::chrono::steady_clock::time_point deadline) {
  {
    std::lock_guard lock(mutex_);
    node_ = std::move(node);
    deadline_ = deadline;
    if (!thread_.joinable()) {
      stopping_ = false;
      try {
        thread_ = std::thread(&GraceTimer::Run, this);
      } catch (const std::system_error& error) {
        node_.reset();
        RecordSystemError("pthread_create", "the reopen grace timer", error.code().value());
        return false;
      }
    }
  }
  changed_.notify_one();
  return true;
}

void GraceTimer::Disarm() {
  {
    std::lock_guard lock(mutex_);
    node_.reset();
  }
  changed_.notify_one();
}

std::thread GraceTimer::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    node_.reset();
  }
  changed_.notify_one();
  std::lock_guard lock(mutex_);
  return std::move(thread_);
}

void GraceTimer::Run() {
  MarkBridgeThread();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (node_.expired()) {
      changed_.wait(lock);
      continue;
    }
    const auto deadline = deadline_;
    if (changed_.wait_until(lock, deadline) == std::cv_status::no_timeout) continue;
    if (deadline_ != deadline) continue;  // armed again meanwhile
    const std::shared_ptr<Node> node = std::exchange(node_, {}).lock();
    lock.unlock();
    if (node) node->EndPauseIfDue();
    lock.lock();
  }
}

}  // namespace vyhid::hidraw
