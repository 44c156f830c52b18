// Ends the pause of a node held open after a close when its grace runs out.
// The node's read thread waits inside its read and cannot keep the time, so
// a thread of the timer's own sleeps until the grace's end. It runs from a
// hold until a grace ends or the timer is stopped (a close that holds
// nothing); a reopen disarms it, and it then sleeps without waking until the
// next hold.
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

  // Ends node's pause at `deadline` (Node::EndPauseIfDue) unless Arm or
  // Disarm comes first; starts the thread on first use. False, the reason
  // recorded, when the thread cannot be started.
  bool Arm(std::weak_ptr<Node> node, std::chrono::steady_clock::time_point deadline);
  void Disarm();
  // Ends the thread (if it has not ended by itself); the caller joins it.
  std::thread Stop();

 private:
  // The thread's body; it ends when generation_ moves past `generation`.
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
