// The per-thread message queue: the portable logic (timers, the manual
// clock, the queue of each thread). Message windows, posting and waiting are
// the platform's (MessagePump.h).
#include <algorithm>
#include <cassert>
#include <deque>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

#include "MessagePump.h"
#include "rtl/Messages.h"

namespace rtl {

struct MessageQueue::Impl {
  struct Timer {
    std::chrono::milliseconds interval{0};
    std::shared_ptr<const std::function<void()>> callback;
    std::uint64_t seq = 0;  // identifies the heap entry that is current
    bool queued = false;    // collected as due and not yet run
  };
  struct HeapEntry {
    Clock::time_point deadline;
    std::uint64_t seq;
    TimerId id;
    // Orders the heap so that the top is the earliest (deadline, seq).
    bool operator<(const HeapEntry& other) const {
      return deadline != other.deadline ? deadline > other.deadline : seq > other.seq;
    }
  };

  Impl() : pump(detail::MessagePump::Create()), owner(std::this_thread::get_id()) {}

  void AssertOwner() const { assert(owner == std::this_thread::get_id()); }
  Clock::time_point Now() const { return clocks.empty() ? Clock::now() : clocks.back()->Now(); }

  bool RunDueTimers();
  void Schedule(TimerId id, Timer& timer, Clock::time_point deadline);
  void DropStaleTop();
  void Rearm();

  std::unique_ptr<detail::MessagePump> pump;
  std::thread::id owner;

  // Everything below belongs to the owning thread only.
  std::unordered_map<TimerId, Timer> timers;
  std::priority_queue<HeapEntry> heap;  // may hold entries of stopped timers
  std::deque<TimerId> due;              // collected, shared by nested passes
  TimerId nextTimerId = 1;
  std::uint64_t nextSeq = 1;
  std::vector<const ManualClock*> clocks;  // innermost ManualClock last
};

namespace {

// The calling thread's queue. A plain pointer (no destructor) so that it can
// still be read while the thread's other thread-local objects are destroyed.
thread_local MessageQueue* tlsQueue = nullptr;
thread_local MessageQueue::Impl* tlsImpl = nullptr;

// Frees the queue when a thread other than the initial one ends. The initial
// thread's queue lives until the process ends: static objects destroyed after
// its thread-local storage (a component holding a timer) may still use it.
struct QueueReaper {
  MessageQueue* queue = nullptr;
  ~QueueReaper() {
    delete queue;
    tlsQueue = nullptr;
    tlsImpl = nullptr;
  }
};
thread_local QueueReaper tlsReaper;

// Process-wide: the initial thread's queue, kept reachable to the end.
MessageQueue* initialQueue = nullptr;

MessageQueue::Impl& CurrentImpl() {
  MessageQueue::ForCurrentThread();
  return *tlsImpl;
}

}  // namespace

MessageQueue& MessageQueue::ForCurrentThread() {
  if (tlsQueue == nullptr) {
    auto impl = std::make_unique<Impl>();
    Impl* raw = impl.get();
    tlsQueue = new MessageQueue(std::move(impl));
    tlsImpl = raw;
    if (detail::IsInitialThread()) {
      initialQueue = tlsQueue;
    } else {
      tlsReaper.queue = tlsQueue;
    }
  }
  return *tlsQueue;
}

MessageQueue::MessageQueue(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MessageQueue::~MessageQueue() = default;

int MessageQueue::WakeFd() const {
  return impl_->pump->Fd();
}

bool MessageQueue::ProcessPending() {
  impl_->AssertOwner();
  const bool messages = impl_->pump->DispatchMessages();
  const bool timers = impl_->RunDueTimers();
  return messages || timers;
}

// Collects every due timer before running any, reading the clock once: a
// timer restarted by its own callback gets a later deadline and does not run
// again in this pass. A timer stopped by an earlier callback of the same
// pass is skipped because it is no longer in `timers`.
bool MessageQueue::Impl::RunDueTimers() {
  const Clock::time_point now = Now();
  while (!heap.empty() && heap.top().deadline <= now) {
    const HeapEntry entry = heap.top();
    heap.pop();
    auto it = timers.find(entry.id);
    if (it == timers.end() || it->second.seq != entry.seq) continue;
    Schedule(entry.id, it->second, now + it->second.interval);
    if (!it->second.queued) {
      it->second.queued = true;
      due.push_back(entry.id);
    }
  }
  bool any = false;
  while (!due.empty()) {
    const TimerId id = due.front();
    due.pop_front();
    auto it = timers.find(id);
    if (it == timers.end()) continue;
    it->second.queued = false;
    // Keeps the callback alive even if it stops its own timer.
    const auto callback = it->second.callback;
    if (*callback) (*callback)();
    any = true;
  }
  Rearm();
  return any;
}

void MessageQueue::Impl::Schedule(TimerId id, Timer& timer, Clock::time_point deadline) {
  timer.seq = nextSeq++;
  heap.push(HeapEntry{deadline, timer.seq, id});
}

void MessageQueue::Impl::DropStaleTop() {
  while (!heap.empty()) {
    auto it = timers.find(heap.top().id);
    if (it != timers.end() && it->second.seq == heap.top().seq) return;
    heap.pop();
  }
}

// Points the wake signal's timer at the earliest live deadline. A manual
// clock does not move by itself, so under one the signal is raised only when
// a timer is already due.
void MessageQueue::Impl::Rearm() {
  DropStaleTop();
  if (!due.empty()) {
    pump->ArmTimer(std::nullopt, true);
  } else if (heap.empty()) {
    pump->ArmTimer(std::nullopt, false);
  } else if (!clocks.empty()) {
    pump->ArmTimer(std::nullopt, heap.top().deadline <= Now());
  } else {
    pump->ArmTimer(heap.top().deadline, false);
  }
}

void MessageQueue::WaitForWork(std::optional<std::chrono::milliseconds> timeout) {
  impl_->AssertOwner();
  impl_->pump->Wait(timeout);
}

MessageQueue::TimerId MessageQueue::StartTimer(std::chrono::milliseconds interval,
                                               std::function<void()> callback) {
  impl_->AssertOwner();
  const TimerId id = impl_->nextTimerId++;
  Impl::Timer& timer = impl_->timers[id];
  timer.interval = std::max(interval, std::chrono::milliseconds(0));
  timer.callback = std::make_shared<const std::function<void()>>(std::move(callback));
  impl_->Schedule(id, timer, impl_->Now() + timer.interval);
  impl_->Rearm();
  return id;
}

void MessageQueue::StopTimer(TimerId id) {
  impl_->AssertOwner();
  if (impl_->timers.erase(id) != 0) impl_->Rearm();
}

int MessageQueue::ActiveTimerCount() const {
  return static_cast<int>(impl_->timers.size());
}

Clock::time_point MessageQueue::Now() const {
  return impl_->Now();
}

ManualClock::ManualClock() : queue_(MessageQueue::ForCurrentThread()), now_(queue_.Now()) {
  queue_.impl_->clocks.push_back(this);
  queue_.impl_->Rearm();
}

ManualClock::~ManualClock() {
  auto& clocks = queue_.impl_->clocks;
  clocks.erase(std::find(clocks.begin(), clocks.end(), this));
  queue_.impl_->Rearm();
}

void ManualClock::Advance(std::chrono::milliseconds delta) {
  now_ += delta;
  queue_.impl_->Rearm();
}

namespace detail {

MessagePump& CurrentPump() {
  return *CurrentImpl().pump;
}

}  // namespace detail

}  // namespace rtl
