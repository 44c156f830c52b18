// Which thread and which process is running: the rules the bridge's threads
// follow when they stop one another.
//
// - A bridge thread (a read thread, the hotplug monitor) never joins another
//   thread: the other may be inside a callback that waits for this one. It
//   parks the thread instead, to be joined later by a thread of the
//   application.
// - A forked child shares the parent's stop events but has none of its
//   threads: it neither signals those events nor joins those threads.
#pragma once

#include <sys/types.h>
#include <unistd.h>

namespace vyhid::hidraw {

// Set on every thread the bridge starts, as its first act.
inline thread_local bool tBridgeThread = false;

inline void MarkBridgeThread() {
  tBridgeThread = true;
}
inline bool OnBridgeThread() {
  return tBridgeThread;
}

// True in a process forked from `owner` (the process that made the object).
inline bool ForkedFrom(pid_t owner) {
  return ::getpid() != owner;
}

}  // namespace vyhid::hidraw
