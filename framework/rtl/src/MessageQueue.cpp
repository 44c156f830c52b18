// Message windows and the per-thread message queue: the portable logic. The
// descriptor a loop waits on comes from WakeSignal (one file per platform).
#include <algorithm>
#include <atomic>
#include <cassert>
#include <deque>
#include <mutex>
#include <optional>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

#include "WakeSignal.h"
#include "rtl/Messages.h"

namespace rtl {
namespace detail {
namespace {

struct Inbox;

// One message window. Held by the registry while it lives and by every
// queued message addressed to it, so a message never points at freed memory.
struct Window {
  HWND handle = 0;
  std::thread::id owner;
  std::weak_ptr<Inbox> inbox;  // weak: the inbox's messages hold windows
  TWndMethod method;           // never changed after creation
  std::atomic<bool> alive{true};
  std::atomic<int> running{0};  // dispatches of this window's method in progress
};

struct Posted {
  std::shared_ptr<Window> window;
  TMessage message;
  std::uint64_t seq = 0;
};

// The part of a queue that other threads touch: posted messages and the wake
// signal. The pending flag `raised` is set by the post that finds it clear,
// which then raises the signal, so a burst of posts costs one wake-up; the
// owner clears it when it takes the last message and then lowers the signal.
// Both system calls run outside the lock (a poster holding the lock through
// its write would make the woken owner sleep on the lock). That leaves two
// races, both closed here:
// - the owner's lowering can swallow the raise of a post made just after the
//   inbox ran empty: after lowering, the owner looks again and raises the
//   signal itself when a message is there;
// - a poster's raise can land after the owner lowered for the inbox that
//   held its message, leaving the signal raised with nothing queued: the
//   owner notes that a raise was in flight (`raising`) and lowers once more
//   at the start of its next pass.
struct Inbox {
  std::unique_ptr<WakeSignal> signal = WakeSignal::Create();
  std::mutex mutex;
  std::deque<Posted> messages;
  std::uint64_t lastSeq = 0;
  bool raised = false;
  bool maybeStale = false;      // a raise may have landed after the last lowering
  std::atomic<int> raising{0};  // posts between setting `raised` and raising

  // Any thread.
  void Push(Posted posted) {
    bool raise = false;
    {
      std::lock_guard lock(mutex);
      posted.seq = ++lastSeq;
      messages.push_back(std::move(posted));
      if (!raised) {
        raised = true;
        raising.fetch_add(1);
        raise = true;
      }
    }
    if (raise) {
      signal->Raise();
      raising.fetch_sub(1);
    }
  }

  // Owning thread. The next message posted up to `limit`, if any.
  std::optional<Posted> Take(std::uint64_t limit) {
    std::optional<Posted> taken;
    bool ranEmpty = false;
    {
      std::lock_guard lock(mutex);
      if (messages.empty() || messages.front().seq > limit) return std::nullopt;
      taken = std::move(messages.front());
      messages.pop_front();
      ranEmpty = ClearIfEmptyLocked();
    }
    if (ranEmpty) LowerAndLookAgain();
    return taken;
  }

  // Owning thread: drops the queued messages of a destroyed window.
  void Purge(const std::shared_ptr<Window>& window) {
    bool ranEmpty = false;
    {
      std::lock_guard lock(mutex);
      std::erase_if(messages, [&](const Posted& posted) { return posted.window == window; });
      ranEmpty = ClearIfEmptyLocked();
    }
    if (ranEmpty) LowerAndLookAgain();
  }

  // Owning thread, at the start of a pass: lowers a signal that a late
  // raise left up with nothing queued.
  void LowerIfStale() {
    {
      std::lock_guard lock(mutex);
      if (!maybeStale || !messages.empty()) return;
      // With no raise in flight, this lowering is the last one needed.
      if (raising.load() == 0) maybeStale = false;
    }
    LowerAndLookAgain();
  }

  std::uint64_t LastSeq() {
    std::lock_guard lock(mutex);
    return lastSeq;
  }

 private:
  bool ClearIfEmptyLocked() {
    if (!messages.empty() || !raised) return false;
    raised = false;
    if (raising.load() != 0) maybeStale = true;
    return true;
  }

  void LowerAndLookAgain() {
    signal->Lower();
    bool queued;
    {
      std::lock_guard lock(mutex);
      queued = !messages.empty();
    }
    if (queued) signal->Raise();
  }
};

// Process-wide: the window registry, handle -> window. Handles count up from
// 1 and are never reused, so a stale handle finds nothing. Allocated once and
// never destroyed, because windows may be posted to while static objects are
// destroyed at exit.
struct Registry {
  std::mutex mutex;
  std::unordered_map<HWND, std::shared_ptr<Window>> windows;
  HWND next = 1;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::shared_ptr<Window> LookUpWindow(HWND handle) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.windows.find(handle);
  return it == registry.windows.end() ? nullptr : it->second;
}

}  // namespace
}  // namespace detail

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

  Impl() : inbox(std::make_shared<detail::Inbox>()), owner(std::this_thread::get_id()) {}
  ~Impl();

  void AssertOwner() const { assert(owner == std::this_thread::get_id()); }
  Clock::time_point Now() const { return clocks.empty() ? Clock::now() : clocks.back()->Now(); }

  bool DispatchMessages();
  bool RunDueTimers();
  void Schedule(TimerId id, Timer& timer, Clock::time_point deadline);
  void DropStaleTop();
  void Rearm();

  std::shared_ptr<detail::Inbox> inbox;
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

MessageQueue::Impl::~Impl() {
  // The thread is ending: its windows go with it, and so do their messages.
  std::vector<std::shared_ptr<detail::Window>> mine;
  {
    detail::Registry& registry = detail::TheRegistry();
    std::lock_guard lock(registry.mutex);
    for (auto it = registry.windows.begin(); it != registry.windows.end();) {
      if (it->second->inbox.lock() == inbox) {
        mine.push_back(std::move(it->second));
        it = registry.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& window : mine) window->alive.store(false);
  std::lock_guard lock(inbox->mutex);
  inbox->messages.clear();
}

int MessageQueue::WakeFd() const {
  return impl_->inbox->signal->Fd();
}

bool MessageQueue::ProcessPending() {
  impl_->AssertOwner();
  const bool messages = impl_->DispatchMessages();
  const bool timers = impl_->RunDueTimers();
  return messages || timers;
}

// Takes messages one at a time, so that a nested call (a method that
// processes messages itself) goes on with the next one and none is
// dispatched twice. Only messages posted before the call started are taken,
// so a method that keeps posting to itself cannot hold the loop forever.
bool MessageQueue::Impl::DispatchMessages() {
  inbox->LowerIfStale();
  const std::uint64_t limit = inbox->LastSeq();
  bool any = false;
  while (std::optional<detail::Posted> taken = inbox->Take(limit)) {
    detail::Posted& posted = *taken;
    detail::Window& window = *posted.window;
    // Announce the dispatch before checking that the window lives; a
    // DeallocateHWnd on another thread clears `alive` and then waits for
    // `running` to drop to zero, so either side sees the other.
    window.running.fetch_add(1);
    struct Done {
      detail::Window& window;
      ~Done() {
        if (window.running.fetch_sub(1) == 1) window.running.notify_all();
      }
    } done{window};
    if (!window.alive.load() || !window.method) continue;
    window.method(posted.message);
    any = true;
  }
  return any;
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
    inbox->signal->ArmTimer(std::nullopt, true);
  } else if (heap.empty()) {
    inbox->signal->ArmTimer(std::nullopt, false);
  } else if (!clocks.empty()) {
    inbox->signal->ArmTimer(std::nullopt, heap.top().deadline <= Now());
  } else {
    inbox->signal->ArmTimer(heap.top().deadline, false);
  }
}

void MessageQueue::WaitForWork(std::optional<std::chrono::milliseconds> timeout) {
  impl_->AssertOwner();
  impl_->inbox->signal->Wait(timeout);
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

HWND AllocateHWnd(TWndMethod Method) {
  MessageQueue::Impl& queue = CurrentImpl();
  auto window = std::make_shared<detail::Window>();
  window->owner = std::this_thread::get_id();
  window->inbox = queue.inbox;
  window->method = std::move(Method);
  detail::Registry& registry = detail::TheRegistry();
  std::lock_guard lock(registry.mutex);
  window->handle = registry.next++;
  registry.windows.emplace(window->handle, window);
  return window->handle;
}

void DeallocateHWnd(HWND Wnd) {
  std::shared_ptr<detail::Window> window;
  {
    detail::Registry& registry = detail::TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.windows.find(Wnd);
    if (it == registry.windows.end()) return;
    window = std::move(it->second);
    registry.windows.erase(it);
  }
  window->alive.store(false);
  // On the window's own thread its queued messages are dropped now, and a
  // running method is this call's caller (the window destroyed from its
  // handler): nothing to wait for. From another thread the owner drops them
  // when it comes to them.
  if (window->owner == std::this_thread::get_id()) {
    if (auto inbox = window->inbox.lock()) inbox->Purge(window);
  } else {
    for (int running = window->running.load(); running != 0; running = window->running.load()) {
      window->running.wait(running);
    }
  }
}

bool PostMessageW(HWND Wnd, std::uint32_t Msg, WPARAM WParam, LPARAM LParam) {
  std::shared_ptr<detail::Window> window = detail::LookUpWindow(Wnd);
  if (!window) return false;
  std::shared_ptr<detail::Inbox> inbox = window->inbox.lock();
  if (!inbox) return false;
  inbox->Push(detail::Posted{std::move(window), TMessage{Msg, WParam, LParam, 0}, 0});
  return true;
}

LRESULT DefWindowProcW(HWND, std::uint32_t, WPARAM, LPARAM) {
  return 0;
}

int LiveWindowCount() {
  detail::Registry& registry = detail::TheRegistry();
  std::lock_guard lock(registry.mutex);
  return static_cast<int>(registry.windows.size());
}

}  // namespace rtl
