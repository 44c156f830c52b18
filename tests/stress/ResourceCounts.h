// What a process holds that a component or a bridge could leak: open file
// descriptors, threads, message windows, timers of this thread's queue and
// libraries loaded through LoadLibraryW. Taken before a test loads anything
// and compared after it has released everything.
#pragma once

#include <dirent.h>

#include <ostream>
#include <thread>

#include "rtl/DynLib.h"
#include "rtl/Messages.h"

namespace vyhid_test {

struct ResourceCounts {
  int FileDescriptors = 0;
  int Threads = 0;
  int Windows = 0;
  int Timers = 0;
  int Libraries = 0;

  static ResourceCounts Now() {
    // ThreadSanitizer starts a thread of its own when the process first
    // creates one; start it before the first count.
    static const bool runtimeThreadsStarted = [] {
      std::thread([] {}).join();
      return true;
    }();
    (void)runtimeThreadsStarted;
    // The thread's queue (and its wake-up descriptor) lives as long as the
    // thread: create it before counting, so that it is not taken for a leak.
    rtl::MessageQueue& queue = rtl::MessageQueue::ForCurrentThread();
    ResourceCounts counts;
    counts.FileDescriptors = EntriesIn("/proc/self/fd");
    counts.Threads = EntriesIn("/proc/self/task");
    counts.Windows = rtl::LiveWindowCount();
    counts.Timers = queue.ActiveTimerCount();
    counts.Libraries = rtl::LoadedLibraryCount();
    return counts;
  }

  bool operator==(const ResourceCounts&) const = default;

 private:
  // Entries of a /proc folder, without "." and "..". The descriptor that
  // opendir itself holds is counted every time, so it cancels out.
  static int EntriesIn(const char* folder) {
    DIR* dir = ::opendir(folder);
    if (dir == nullptr) return -1;
    int n = 0;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
    return n;
  }
};

inline std::ostream& operator<<(std::ostream& out, const ResourceCounts& c) {
  return out << "{fds " << c.FileDescriptors << ", threads " << c.Threads << ", windows "
             << c.Windows << ", timers " << c.Timers << ", libraries " << c.Libraries << "}";
}

}  // namespace vyhid_test
