// Ends the hold of a node held open after a close when its grace runs out.
// The node's read thread waits inside its read and cannot keep the time, so
// a thread of the timer's own sleeps until the grace's end. It runs only
// while a node is held: from a hold until the grace ends, the timer is
// disarmed (a reopen, the held node released) or stopped (a close that holds
// nothing); then it ends, and the next hold starts another.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "Node.h"

namespace vyhid::hidraw {

class GraceTimer {
 public:
  GraceTimer() = default;
  GraceTimer(const GraceTimer&) = delete;
  GraceTimer& operator=(const GraceTimer&) = delete;
  // The thread must have been stopped and joined (Stop).
  ~GraceTimer() = default;

  // Ends node's hold at `deadline` (Node::EndHoldIfDue) unless Arm or
  // Disarm comes first; starts the thread when none runs. False, the reason
  // recorded, when the thread cannot be started.
  bool Arm(std::weak_ptr<Node> node, std::chrono::steady_clock::time_point deadline);
  void Disarm();
  // Ends the thread (if it has not ended by itself); the caller joins it.
  std::thread Stop();

 private:
  // The thread's body; it ends when nothing is held or generation_ moves
  // past `generation`.
  void Run(std::uint64_t generation);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::weak_ptr<Node> node_;
  std::chrono::steady_clock::time_point deadline_;
  std::uint64_t generation_ = 0;
  // A thread is inside Run's loop; thread_ may instead hold one that ended.
  bool running_ = false;
  std::thread thread_;
};

}  // namespace vyhid::hidraw
