// WakeSignal on Linux: an eventfd for posted messages and a timerfd for the
// next timer deadline, both in one epoll set whose descriptor is what a host
// loop polls. epoll is level-triggered here, so the set stays readable while
// either member is.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <system_error>

#include "WakeSignal.h"

namespace rtl::detail {
namespace {

[[noreturn]] void ThrowSystemError(const char* call) {
  throw std::system_error(errno, std::generic_category(), call);
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

int CheckedFd(int fd, const char* call) {
  if (fd < 0) ThrowSystemError(call);
  return fd;
}

class EpollWakeSignal final : public WakeSignal {
 public:
  EpollWakeSignal()
      : event_(CheckedFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")),
        timer_(CheckedFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK),
                         "timerfd_create")),
        epoll_(CheckedFd(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1")) {
    Add(event_.get());
    Add(timer_.get());
  }

  int Fd() const override { return epoll_.get(); }

  void Raise() override {
    const std::uint64_t one = 1;
    // The counter cannot overflow: the queue raises only after lowering.
    while (::write(event_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  void Lower() override {
    std::uint64_t value = 0;
    while (::read(event_.get(), &value, sizeof value) < 0 && errno == EINTR) {
    }
  }

  void ArmTimer(std::optional<Clock::time_point> deadline, bool due_now) override {
    itimerspec spec{};
    if (due_now) {
      spec.it_value.tv_nsec = 1;  // an absolute time long past: expires at once
    } else if (deadline) {
      // steady_clock is CLOCK_MONOTONIC on Linux, so its epoch is the timerfd's.
      const auto ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch())
              .count();
      spec.it_value.tv_sec = ns > 0 ? ns / 1'000'000'000 : 0;
      spec.it_value.tv_nsec = ns > 0 ? ns % 1'000'000'000 : 1;
      if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    } else if (!armed_) {
      return;  // already disarmed and nothing pending on it
    }
    // Setting the timer also discards an expiry that was not read.
    if (::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &spec, nullptr) < 0) {
      ThrowSystemError("timerfd_settime");
    }
    armed_ = due_now || deadline.has_value();
  }

  void Wait(std::optional<std::chrono::milliseconds> timeout) override {
    int ms = -1;
    if (timeout) {
      const auto count = timeout->count();
      ms = count <= 0 ? 0 : (count >= INT_MAX ? INT_MAX : static_cast<int>(count));
    }
    epoll_event events[2];
    // EINTR ends the wait early; callers treat any return as "look again".
    if (::epoll_wait(epoll_.get(), events, 2, ms) < 0 && errno != EINTR) {
      ThrowSystemError("epoll_wait");
    }
  }

 private:
  void Add(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) < 0) ThrowSystemError("epoll_ctl");
  }

  UniqueFd event_;
  UniqueFd timer_;
  UniqueFd epoll_;
  bool armed_ = false;
};

}  // namespace

std::unique_ptr<WakeSignal> WakeSignal::Create() {
  return std::make_unique<EpollWakeSignal>();
}

}  // namespace rtl::detail
