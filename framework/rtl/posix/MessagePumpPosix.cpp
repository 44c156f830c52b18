// Message windows of our own on POSIX systems: a process-wide registry of
// windows, a per-thread inbox of posted messages, and the wake signal (an
// eventfd and a timerfd in one epoll set) that a loop waits on.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "MessagePump.h"
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

// The pump of one thread: its inbox. Windows refer to the inbox weakly,
// since the inbox's messages hold windows.
class PosixMessagePump final : public MessagePump {
 public:
  ~PosixMessagePump() override;

  int Fd() const override { return inbox->signal->Fd(); }
  bool DispatchMessages() override;
  void ArmTimer(std::optional<Clock::time_point> deadline, bool due_now) override {
    inbox->signal->ArmTimer(deadline, due_now);
  }
  void Wait(std::optional<std::chrono::milliseconds> timeout) override {
    inbox->signal->Wait(timeout);
  }

  std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
};

PosixMessagePump::~PosixMessagePump() {
  // The thread is ending: its windows go with it, and so do their messages.
  std::vector<std::shared_ptr<Window>> mine;
  {
    Registry& registry = TheRegistry();
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

// Takes messages one at a time, so that a nested call (a method that
// processes messages itself) goes on with the next one and none is
// dispatched twice. Only messages posted before the call started are taken,
// so a method that keeps posting to itself cannot hold the loop forever.
bool PosixMessagePump::DispatchMessages() {
  inbox->LowerIfStale();
  const std::uint64_t limit = inbox->LastSeq();
  bool any = false;
  while (std::optional<Posted> taken = inbox->Take(limit)) {
    Posted& posted = *taken;
    Window& window = *posted.window;
    // Announce the dispatch before checking that the window lives; a
    // DeallocateHWnd on another thread clears `alive` and then waits for
    // `running` to drop to zero, so either side sees the other.
    window.running.fetch_add(1);
    struct Done {
      Window& window;
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

}  // namespace

std::unique_ptr<MessagePump> MessagePump::Create() {
  return std::make_unique<PosixMessagePump>();
}

bool IsInitialThread() {
  return ::gettid() == ::getpid();
}

}  // namespace detail

HWND AllocateHWnd(TWndMethod Method) {
  auto& pump = static_cast<detail::PosixMessagePump&>(detail::CurrentPump());
  auto window = std::make_shared<detail::Window>();
  window->owner = std::this_thread::get_id();
  window->inbox = pump.inbox;
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
