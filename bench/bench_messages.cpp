// Cost of a posted message: the round trip between two threads through
// PostMessageW and the queues' loops, against the floor for any design that
// wakes a sleeping thread, a bare eventfd ping-pong; and the cost of a posted
// message when nobody has to be woken (post and dispatch on one thread).
// bench-link: vcl270 rtl270
#include <benchmark/benchmark.h>
#include <poll.h>
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
BENCHMARK(BM_PostRoundTripAcrossThreads)->UseRealTime();

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
BENCHMARK(BM_EventfdRoundTrip)->UseRealTime();

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
