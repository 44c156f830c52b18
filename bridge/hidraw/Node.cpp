#include "Node.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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
  int size = 0;
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) {
    RecordSystemError("ioctl HIDIOCGRDESCSIZE", path, errno);
    return std::nullopt;
  }
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<__u32>(std::clamp(size, 0, HID_MAX_DESCRIPTOR_SIZE));
  if (::ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) {
    RecordSystemError("ioctl HIDIOCGRDESC", path, errno);
    return std::nullopt;
  }
  identity.report_descriptor.assign(descriptor.value, descriptor.value + descriptor.size);
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
      stop_event_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      owner_(::getpid()),
      read_write_(read_write),
      descriptor_(std::move(descriptor)),
      ioctl_(SystemIoctl) {
  if (!stop_event_) {
    RecordSystemError("eventfd", path_, errno);
    return;
  }
  // The read loop reads only when the wait says the node is readable, and a
  // read of a node emptied meanwhile (another reader of the same fd) must
  // say EAGAIN, not wait.
  const int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 ||
      ((flags & O_NONBLOCK) == 0 && ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK) < 0)) {
    RecordSystemError("fcntl O_NONBLOCK", path_, errno);
    return;
  }
  // The read loop waits on the node and the stop event, registered once:
  // each wait costs no setting up of its watches, as poll's does.
  epoll_.Reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_) {
    RecordSystemError("epoll_create1", path_, errno);
    return;
  }
  for (const int watched : {fd_.get(), stop_event_.get()}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = watched;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, watched, &event) < 0) {
      RecordSystemError("epoll_ctl", path_, errno);
      epoll_.Reset();
      return;
    }
  }
}

void Node::RequestStop() {
  stopping_.store(true, std::memory_order_release);
  Wake();
}

void Node::Wake() {
  const std::uint64_t one = 1;
  if (stop_event_ && !ForkedFrom(owner_)) {
    [[maybe_unused]] const ssize_t n = ::write(stop_event_.get(), &one, sizeof one);
  }
}

void Node::Pause(std::chrono::steady_clock::time_point until) {
  {
    std::lock_guard lock(pause_mutex_);
    pause_until_ = until;
    paused_.store(true, std::memory_order_release);
  }
  Wake();  // the loop stops watching the node and starts the pause's clock
  std::lock_guard wait_for_delivery(delivering_);
}

bool Node::Resume() {
  {
    std::lock_guard lock(pause_mutex_);
    if (ended_) return false;
    paused_.store(false, std::memory_order_release);
  }
  Wake();
  return true;
}

bool Node::HungUp() const {
  pollfd fd{fd_.get(), 0, 0};
  return gone() || (::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0);
}

bool Node::Deliver(std::span<const std::uint8_t> bytes, const PieceSink& sink) {
  if (paused_.load(std::memory_order_acquire)) return false;
  SplitInputReport(bytes, descriptor_.uses_report_ids, sink);
  return true;
}

Node::ReadResult Node::ReadOne(std::vector<std::uint8_t>& buffer, std::size_t& held,
                               const PieceSink& sink) {
  // Held from the read to the delivery: Pause waits for the report being
  // delivered, and a report read after it sees paused_.
  std::lock_guard lock(delivering_);
  if (stop_requested() || paused_.load(std::memory_order_acquire)) return ReadResult::kDone;
  ssize_t n;
  do {
    n = ::read(fd_.get(), buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN) return ReadResult::kDone;
    RecordSystemError("read", path_, errno);
    return ReadResult::kGone;  // ENODEV, EIO: unplugged
  }
  if (n == 0) {
    abi::DebugNote("read(" + path_ + "): end of file: the device is gone");
    return ReadResult::kGone;
  }
  if (!Deliver(std::span(buffer.data(), static_cast<std::size_t>(n)), sink)) {
    held = static_cast<std::size_t>(n);
  }
  return ReadResult::kDone;
}

bool Node::WatchInput(bool watch) {
  if (watch == watching_input_) return true;
  epoll_event event{};
  event.events = watch ? std::uint32_t{EPOLLIN} : 0;  // a hang-up is reported either way
  event.data.fd = fd_.get();
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd_.get(), &event) < 0) {
    RecordSystemError("epoll_ctl", path_, errno);
    return false;
  }
  watching_input_ = watch;
  return true;
}

void Node::ReadLoop(const PieceSink& sink) {
  std::vector<std::uint8_t> buffer(kMaxReportBytes + 1);
  // Bytes read but not delivered: a pause began between the read and the
  // delivery. They go first when the pause ends.
  std::size_t held = 0;
  const PieceSink guarded = [&](const THIDreport& report, std::uint8_t count) {
    if (stop_requested()) return false;
    return sink(report, count);
  };
  // Ends the loop when a pause has run out; otherwise how long the wait may
  // last.
  const auto wait_ms = [&]() -> std::optional<int> {
    // Not paused: no lock (a pause that comes meanwhile wakes the wait).
    if (!paused_.load(std::memory_order_acquire)) return -1;
    std::lock_guard lock(pause_mutex_);
    if (!paused_.load(std::memory_order_relaxed)) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        pause_until_ - std::chrono::steady_clock::now());
    if (left.count() > 0) return static_cast<int>(left.count());
    ended_ = true;
    return std::nullopt;
  };
  const auto end = [&] {
    std::lock_guard lock(pause_mutex_);
    ended_ = true;
  };
  while (!stop_requested()) {
    const std::optional<int> timeout = wait_ms();
    if (!timeout) return;
    const bool paused = *timeout >= 0;
    if (!paused && held > 0) {
      std::lock_guard lock(delivering_);
      if (Deliver(std::span(buffer.data(), held), guarded)) held = 0;
      continue;
    }
    // Paused, the node is watched only for its hang-up.
    if (!WatchInput(!paused)) break;
    epoll_event events[2];
    const int ready = ::epoll_wait(epoll_.get(), events, 2, *timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      RecordSystemError("epoll_wait", path_, errno);
      break;
    }
    std::uint32_t node_events = 0;
    bool woken = false;
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.fd == stop_event_.get()) {
        woken = true;
      } else {
        node_events = events[i].events;
      }
    }
    if (woken) {
      // A stop, pause or resume: the loop's next turn sees which.
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(stop_event_.get(), &count, sizeof count);
      continue;
    }
    if (node_events & EPOLLIN) {
      if (ReadOne(buffer, held, guarded) == ReadResult::kGone) {
        gone_.store(true, std::memory_order_release);
        break;
      }
    } else if (node_events & (EPOLLERR | EPOLLHUP)) {
      abi::DebugNote("epoll_wait(" + path_ + "): the node hung up: the device is gone");
      gone_.store(true, std::memory_order_release);
      break;
    }
  }
  end();
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
