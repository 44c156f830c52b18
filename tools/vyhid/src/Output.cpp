#include "Output.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "Platform.h"

namespace vyhid {

void LineWriter::Line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  WriteAll(line);
}

void LineWriter::Raw(std::string_view text) {
  WriteAll(text);
}

bool LineWriter::Failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

bool LineWriter::IsTerminal() const {
  return isatty(fd_) == 1;
}

void LineWriter::WriteAll(std::string_view text) {
  std::lock_guard lock(mutex_);
  if (failed_) return;
  // A pipe takes a line of any length we write in one piece; the loop only
  // covers partial writes to other kinds of descriptor and signals.
  while (!text.empty()) {
    const ssize_t n = write(fd_, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  const std::tm local = LocalTime(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis.count()));
  return text;
}

}  // namespace vyhid
