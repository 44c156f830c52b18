// Cost of a posted message: the round trip between two threads through
// PostMessageW and the queues' loops, against the floor for any design that
// wakes a sleeping thread, a bare eventfd ping-pong, and against the same
// ping-pong waited on through epoll, as the queue's loop waits (one
// descriptor for messages and timers); and the cost of a posted message when
// nobody has to be woken (post and dispatch on one thread).
// The round trips report wall time (the latency) and, as CPU, the processor
// time of both threads together (the work, which a busy machine does not
// inflate).
// bench-link: vcl270 rtl270
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <thread>

#include "rtl/Messages.h"
#include "vcl/Forms.h"

namespace {

// One iteration: post to a window of another thread, whose method posts back;
// this thread waits in HandleMessage for the answer.
void BM_PostRoundTripAcrossThreads(benchmark::State& state) {
  std::atomic<bool> pong{false};
  const rtl::HWND here = rtl::AllocateHWnd([&](rtl::TMessage&) { pong.store(true); });
  std::promise<rtl::HWND> thereReady;
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    const rtl::HWND there = rtl::AllocateHWnd([&](rtl::TMessage& m) {
      if (m.Msg == 1)
        stop.store(true);
      else
        rtl::PostMessageW(here, 100, 0, 0);
    });
    thereReady.set_value(there);
    while (!stop.load()) vcl::Application.HandleMessage();
    rtl::DeallocateHWnd(there);
  });
  const rtl::HWND there = thereReady.get_future().get();
  for (auto _ : state) {
    pong.store(false);
    rtl::PostMessageW(there, 100, 0, 0);
    while (!pong.load()) vcl::Application.HandleMessage();
  }
  rtl::PostMessageW(there, 1, 0, 0);
  worker.join();
  rtl::DeallocateHWnd(here);
  state.SetLabel("round trip = 2 posts");
}
BENCHMARK(BM_PostRoundTripAcrossThreads)->MeasureProcessCPUTime()->UseRealTime();

void Signal(int fd) {
  const std::uint64_t one = 1;
  if (::write(fd, &one, sizeof one) != sizeof one) std::abort();
}

void WaitAndConsume(int fd) {
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, -1) < 0) {
  }
  std::uint64_t value;
  if (::read(fd, &value, sizeof value) != sizeof value) std::abort();
}

// The same round trip with nothing but two eventfds: poll, read, write.
void BM_EventfdRoundTrip(benchmark::State& state) {
  const int ping = ::eventfd(0, EFD_CLOEXEC);
  const int pong = ::eventfd(0, EFD_CLOEXEC);
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    for (;;) {
      WaitAndConsume(ping);
      if (stop.load()) break;
      Signal(pong);
    }
  });
  for (auto _ : state) {
    Signal(ping);
    WaitAndConsume(pong);
  }
  stop.store(true);
  Signal(ping);
  worker.join();
  ::close(ping);
  ::close(pong);
  state.SetLabel("round trip = 2 wake-ups");
}
BENCHMARK(BM_EventfdRoundTrip)->MeasureProcessCPUTime()->UseRealTime();

// An eventfd waited on through an epoll set, as a queue must do when its
// thread waits on one descriptor for messages and timers together.
class EpollWaiter {
 public:
  explicit EpollWaiter(int fd) : fd_(fd), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) < 0) std::abort();
  }
  ~EpollWaiter() { ::close(epoll_); }
  EpollWaiter(const EpollWaiter&) = delete;
  EpollWaiter& operator=(const EpollWaiter&) = delete;

  void WaitAndConsume() const {
    epoll_event ev;
    while (::epoll_wait(epoll_, &ev, 1, -1) < 0) {
    }
    std::uint64_t value;
    if (::read(fd_, &value, sizeof value) != sizeof value) std::abort();
  }

 private:
  int fd_;
  int epoll_;
};

// The eventfd round trip with each side waiting in epoll_wait.
void BM_EpollEventfdRoundTrip(benchmark::State& state) {
  const int ping = ::eventfd(0, EFD_CLOEXEC);
  const int pong = ::eventfd(0, EFD_CLOEXEC);
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    const EpollWaiter waiter(ping);
    for (;;) {
      waiter.WaitAndConsume();
      if (stop.load()) break;
      Signal(pong);
    }
  });
  {
    const EpollWaiter waiter(pong);
    for (auto _ : state) {
      Signal(ping);
      waiter.WaitAndConsume();
    }
  }
  stop.store(true);
  Signal(ping);
  worker.join();
  ::close(ping);
  ::close(pong);
  state.SetLabel("round trip = 2 wake-ups through epoll");
}
BENCHMARK(BM_EpollEventfdRoundTrip)->MeasureProcessCPUTime()->UseRealTime();

// Posting a batch to a window of this thread and dispatching it: the cost of
// one message without a thread switch (one wake-up per batch).
void BM_PostAndDispatchOnOneThread(benchmark::State& state) {
  const auto batch = state.range(0);
  std::int64_t dispatched = 0;
  const rtl::HWND window = rtl::AllocateHWnd([&](rtl::TMessage&) { ++dispatched; });
  for (auto _ : state) {
    for (std::int64_t i = 0; i < batch; ++i) rtl::PostMessageW(window, 100, 0, 0);
    vcl::Application.ProcessMessages();
  }
  rtl::DeallocateHWnd(window);
  if (dispatched != batch * static_cast<std::int64_t>(state.iterations())) {
    state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(dispatched);
}
BENCHMARK(BM_PostAndDispatchOnOneThread)->Arg(1)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
