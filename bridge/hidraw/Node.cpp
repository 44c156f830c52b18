#include "Node.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "BridgeThreads.h"
#include "Failure.h"

namespace vyhid::hidraw {
namespace {

using vyhid::ReportKind;

// The kernel's largest report buffer; a descriptor claiming more is not
// believed.
constexpr std::size_t kMaxReportBytes = 16384;

bool Transient(int error) {
  return error == EACCES || error == EPERM || error == ENOENT;
}

UniqueFd TryOpen(const std::string& path, bool& read_write) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (fd) {
    read_write = true;
    return fd;
  }
  if (errno != EACCES && errno != EPERM && errno != EROFS) return fd;
  fd.Reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd) read_write = false;
  return fd;
}

std::string Directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int SystemIoctl(int fd, unsigned long request, void* argument) {
  return ::ioctl(fd, request, argument);
}

// uhid and Bluetooth devices wait interruptibly in the feature and input
// ioctls: a signal whose handler lacks SA_RESTART interrupts them (EINTR),
// and the transfer is tried again.
int IoctlRetrying(Node::Ioctl ioctl, int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

UniqueFd OpenNode(const std::string& path, bool& read_write,
                  std::chrono::milliseconds settle_time) {
  UniqueFd fd = TryOpen(path, read_write);
  if (fd) return fd;
  int error = errno;
  if (!Transient(error)) {
    RecordSystemError("open", path, error);
    errno = error;
    return fd;
  }

  // The node of a device just attached is created by the kernel and then
  // given its owner, mode and access lists by udev; opening in between fails
  // with ENOENT or EACCES. Wait for the directory to report a new node or
  // changed attributes and try again, within a short bound: a node that
  // stays closed to us is a real failure.
  const std::string directory = Directory(path);
  UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch) {
    abi::DebugNote(abi::SystemErrorText("inotify_init1", path, errno) + ": not waiting for " +
                   path + " to be set up");
  } else if (::inotify_add_watch(watch.get(), directory.c_str(),
                                 IN_CREATE | IN_ATTRIB | IN_MOVED_TO) < 0) {
    abi::DebugNote(abi::SystemErrorText("inotify_add_watch", directory, errno) +
                   ": not waiting for " + path + " to be set up");
    watch.Reset();
  }
  if (!watch) {
    RecordSystemError("open", path, error);
    errno = error;
    return fd;
  }
  abi::DebugNote(abi::SystemErrorText("open", path, error) + ": waiting up to " +
                 std::to_string(settle_time.count()) +
                 " ms for udev to create the node or set its permissions");
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + settle_time;
  const auto waited = [&] {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count()) +
           " ms";
  };
  for (;;) {
    fd = TryOpen(path, read_write);  // again: the change may precede the watch
    if (fd) {
      abi::DebugNote("opened " + path + " after waiting " + waited());
      return fd;
    }
    error = errno;
    if (!Transient(error)) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      abi::DebugNote("gave up on " + path + " after waiting " + waited());
      break;
    }
    pollfd p{watch.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      abi::DebugNote(abi::SystemErrorText("poll", directory, errno) + ": stopped waiting for " +
                     path + " after " + waited());
      break;
    }
    alignas(inotify_event) char events[4096];
    while (::read(watch.get(), events, sizeof events) > 0) {
    }
  }
  RecordSystemError("open", path, error);
  errno = error;
  return fd;
}

std::optional<std::vector<std::uint8_t>> ReadReportDescriptor(int fd, const std::string& path,
                                                              FailureReport report) {
  int size = 0;
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) {
    report("ioctl HIDIOCGRDESCSIZE", path, errno);
    return std::nullopt;
  }
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<__u32>(std::clamp(size, 0, HID_MAX_DESCRIPTOR_SIZE));
  if (::ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) {
    report("ioctl HIDIOCGRDESC", path, errno);
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(descriptor.value, descriptor.value + descriptor.size);
}

std::optional<NodeIdentity> ReadNodeIdentity(int fd, const std::string& path) {
  hidraw_devinfo info{};
  if (::ioctl(fd, HIDIOCGRAWINFO, &info) < 0) {
    RecordSystemError("ioctl HIDIOCGRAWINFO", path, errno);
    return std::nullopt;
  }
  NodeIdentity identity;
  identity.bus = info.bustype;
  identity.vendor_id = static_cast<std::uint16_t>(info.vendor);
  identity.product_id = static_cast<std::uint16_t>(info.product);
  std::optional<std::vector<std::uint8_t>> descriptor =
      ReadReportDescriptor(fd, path, RecordSystemError);
  if (!descriptor) return std::nullopt;
  identity.report_descriptor = std::move(*descriptor);
  // Two units of one model have the same ids and descriptor; the name the
  // kernel gave the HID device tells a unit attached under a freed node
  // number from the one listed there.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
    const std::string link = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev)) + "/device";
    std::array<char, 512> target{};
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size() - 1);
    if (n > 0) {
      const std::string_view path(target.data(), static_cast<std::size_t>(n));
      identity.instance_name = std::string(path.substr(path.rfind('/') + 1));
    }
  }
  return identity;
}

Node::Node(std::string path, UniqueFd fd, bool read_write, descriptor::ReportDescriptor descriptor)
    : path_(std::move(path)),
      fd_(std::move(fd)),
      owner_(::getpid()),
      read_write_(read_write),
      descriptor_(std::move(descriptor)),
      ioctl_(SystemIoctl) {
  if (!fd_) return;
  // The read loop waits inside its read, one system call per report; the
  // node was opened non-blocking only so that the open itself cannot wait.
  const int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 ||
      ((flags & O_NONBLOCK) != 0 && ::fcntl(fd_.get(), F_SETFL, flags & ~O_NONBLOCK) < 0)) {
    RecordSystemError("fcntl ~O_NONBLOCK", path_, errno);
    return;
  }
  valid_ = true;
}

bool Node::MoveLocked(State to) {
  const State from = state_.load();
  bool may = false;
  switch (to) {
    case State::kReading:
      may = from == State::kHeld;
      break;
    case State::kHeld:
      may = from == State::kReading;
      break;
    case State::kEnding:
      may = from == State::kReading || from == State::kHeld;
      break;
    case State::kEnded:
      may = from != State::kEnded;
      break;
  }
  if (!may) return false;
  state_.store(to);
  // A pending cancel acts only inside the read, where the loop holds no
  // lock. In a forked child the thread is the parent's.
  if (to == State::kEnding && reader_registered_ && !ForkedFrom(owner_)) {
    ::pthread_cancel(reader_);
  }
  state_changed_.notify_all();
  return true;
}

void Node::RequestStop() {
  if (ForkedFrom(owner_)) {
    // Only this copy is marked: the lock may have been held by a thread of
    // the parent at the fork, and no thread here will let it go.
    if (state_.load() < State::kEnding) state_.store(State::kEnding);
    return;
  }
  std::lock_guard lock(mutex_);
  MoveLocked(State::kEnding);
}

bool Node::Hold(std::chrono::steady_clock::time_point until) {
  std::lock_guard lock(mutex_);
  hold_until_ = until;
  return MoveLocked(State::kHeld);
}

bool Node::Resume() {
  std::lock_guard lock(mutex_);
  return MoveLocked(State::kReading);
}

bool Node::EndHoldIfDue(std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  return state_.load() == State::kHeld && now >= hold_until_ && MoveLocked(State::kEnding);
}

bool Node::HungUp() const {
  pollfd fd{fd_.get(), 0, 0};
  return gone() || (::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0);
}

std::size_t Node::ReadReport(std::vector<std::uint8_t>& buffer) {
  for (;;) {
    int ignored = 0;
    ::pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &ignored);
    const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
    const int error = errno;
    ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) {
      abi::DebugNote("read(" + path_ + "): end of file: the device is gone");
      return 0;
    }
    if (error == EINTR && !stop_requested()) continue;
    if (error != EINTR) RecordSystemError("read", path_, error);  // ENODEV, EIO: unplugged
    return 0;
  }
}

bool Node::DeliverIfReading(std::span<const std::uint8_t> bytes, const PieceSink& sink) {
  // Counted before the look at the state, as a hold changes the state before
  // its wait for the deliveries: one of the two sees the other. No lock:
  // this runs for every report.
  const abi::CallsInFlight::Scope delivering(deliveries_);
  if (state_.load() != State::kReading) return false;
  SplitInputReport(bytes, descriptor_.uses_report_ids, sink);
  return true;
}

bool Node::AwaitResume() {
  std::unique_lock lock(mutex_);
  state_changed_.wait(lock, [&] { return state_.load() != State::kHeld; });
  return state_.load() == State::kReading;
}

void Node::ReadLoop(const PieceSink& sink) {
  // Cancellation may act only inside the read: never in the sink (the
  // application's code) and never under a lock.
  int ignored = 0;
  ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
  {
    std::lock_guard lock(mutex_);
    reader_ = ::pthread_self();
    reader_registered_ = true;
  }
  // Runs however the loop ends, a cancelled read's unwinding included.
  struct Unregister {
    Node& node;
    ~Unregister() {
      std::lock_guard lock(node.mutex_);
      node.reader_registered_ = false;
      node.MoveLocked(State::kEnded);
    }
  } unregister{*this};

  std::vector<std::uint8_t> buffer(kMaxReportBytes + 1);
  const PieceSink guarded = [&](const THIDreport& report, std::uint8_t count) {
    if (stop_requested()) return false;
    return sink(report, count);
  };
  while (!stop_requested()) {
    const std::size_t n = ReadReport(buffer);
    if (n == 0) {
      if (!stop_requested()) gone_.store(true, std::memory_order_release);
      return;
    }
    const std::span report(buffer.data(), n);
    // A report read as a hold came waits for its end; the next read comes
    // after it is delivered, so the kernel's queue keeps the rest in order.
    while (!DeliverIfReading(report, guarded)) {
      if (!AwaitResume()) return;
    }
  }
}

std::optional<std::uint32_t> Node::PayloadLength(ReportKind kind, std::uint8_t report_id) const {
  const auto bytes = descriptor_.ReportBytes(kind, report_id);
  if (!bytes) {
    abi::SetLastError(EINVAL, path_ + ": the report descriptor declares no " +
                                  ReportKindName(kind) + " report with ID " +
                                  std::to_string(report_id));
    return std::nullopt;
  }
  // A descriptor claiming more than the kernel's buffer is not believed.
  if (*bytes + std::size_t{1} > kMaxReportBytes) {
    abi::SetLastError(EINVAL, path_ + ": " + ReportKindName(kind) + " report " +
                                  std::to_string(report_id) + " claims " + std::to_string(*bytes) +
                                  " bytes, more than hidraw carries");
    return std::nullopt;
  }
  return bytes;
}

std::uint8_t Node::SendOutput(const THIDreport& report) {
  const auto length = PayloadLength(ReportKind::kOutput, report.ReportID);
  if (!length) return 0;
  if (!read_write_) {
    abi::SetLastError(EACCES, path_ + " is open read-only: this user may not send to it");
    return 0;
  }
  const std::vector<std::uint8_t> bytes = BuildOutgoing(report, *length);
  ssize_t n;
  do {
    n = ::write(fd_.get(), bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    RecordSystemError("write", path_, errno);
    return 0;
  }
  return TakenBytes(*length);
}

std::uint8_t Node::SendFeature(const THIDreport& report) {
  const auto length = PayloadLength(ReportKind::kFeature, report.ReportID);
  if (!length) return 0;
  std::vector<std::uint8_t> bytes = BuildOutgoing(report, *length);
  if (IoctlRetrying(ioctl_, fd_.get(), HIDIOCSFEATURE(bytes.size()), bytes.data()) < 0) {
    RecordSystemError("ioctl HIDIOCSFEATURE", path_, errno);
    return 0;
  }
  return TakenBytes(*length);
}

std::uint8_t Node::FetchInput(THIDreport& report) {
  return Fetch(report, ReportKind::kInput);
}

std::uint8_t Node::FetchFeature(THIDreport& report) {
  return Fetch(report, ReportKind::kFeature);
}

std::uint8_t Node::Fetch(THIDreport& report, ReportKind kind) {
  const auto length = PayloadLength(kind, report.ReportID);
  if (!length) return 0;
  std::vector<std::uint8_t> bytes(std::size_t{1} + *length, 0);
  bytes[0] = report.ReportID;
  const bool input = kind == ReportKind::kInput;
  const unsigned long request = input ? HIDIOCGINPUT(bytes.size()) : HIDIOCGFEATURE(bytes.size());
  const int n = IoctlRetrying(ioctl_, fd_.get(), request, bytes.data());
  if (n < 0) {
    RecordSystemError(input ? "ioctl HIDIOCGINPUT" : "ioctl HIDIOCGFEATURE", path_, errno);
    return 0;
  }
  // The kernel answers with the report ID byte first and the count of bytes
  // it placed, that byte included.
  return StoreFetched(
      report,
      std::span(bytes.data(), std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(n))));
}

}  // namespace vyhid::hidraw
