// Writing whole lines to a file descriptor from several threads.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace vyhid {

// Writes text to one descriptor. Each call is one write(2) of a whole line
// (or of the whole text), under a mutex, so lines written from the bridge's
// thread and from the component's thread never interleave. Safe from any
// thread. A failed write (a closed pipe) is remembered, not thrown.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes the text followed by a line break.
  void Line(std::string_view text);
  // Writes the text as it is (for a progress line ending in '\r').
  void Raw(std::string_view text);
  bool Failed() const;
  int Fd() const { return fd_; }
  // Whether the descriptor is a terminal.
  bool IsTerminal() const;

 private:
  void WriteAll(std::string_view text);
  int fd_;
  mutable std::mutex mutex_;
  bool failed_ = false;
};

// The local wall-clock time as HH:MM:SS.mmm.
std::string Timestamp();

}  // namespace vyhid
