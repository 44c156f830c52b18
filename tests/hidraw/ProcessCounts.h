// What the test process holds: its threads and its open descriptors, read
// from /proc.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstring>
#include <thread>

inline int CountEntries(const char* dir) {
  DIR* d = ::opendir(dir);
  if (d == nullptr) return 0;
  int n = 0;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
  }
  ::closedir(d);
  return n;
}

inline int Threads() {
  // ThreadSanitizer starts a thread of its own when the process first creates
  // one: let that happen before anything is counted.
  static const bool runtimeThreadsStarted = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)runtimeThreadsStarted;
  return CountEntries("/proc/self/task");
}
// Open descriptors, the one counting them included.
inline int Descriptors() {
  return CountEntries("/proc/self/fd");
}

// Waits up to 10 s for the process to run at most n threads: a thread that
// ends by itself says so to nobody.
inline bool ThreadsFallTo(int n) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Threads() > n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}
