// Message windows of our own on POSIX systems: a process-wide registry of
// windows, a per-thread inbox of posted messages, and the wake signal (an
// eventfd and a timerfd in one epoll set) that a loop waits on.
#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
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
// signal. The pending flag `raised` mirrors whether the signal is raised, so
// a burst of posts costs one wake-up and the signal is lowered only when the
// last message has been taken.
struct Inbox {
  std::unique_ptr<WakeSignal> signal = WakeSignal::Create();
  std::mutex mutex;
  std::deque<Posted> messages;
  std::uint64_t lastSeq = 0;
  bool raised = false;

  // Both run with `mutex` held, so the flag and the signal never disagree.
  void RaiseLocked() {
    if (!raised) {
      raised = true;
      signal->Raise();
    }
  }
  void LowerIfEmptyLocked() {
    if (messages.empty() && raised) {
      raised = false;
      signal->Lower();
    }
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
  std::uint64_t limit;
  {
    std::lock_guard lock(inbox->mutex);
    limit = inbox->lastSeq;
  }
  bool any = false;
  for (;;) {
    Posted posted;
    {
      std::lock_guard lock(inbox->mutex);
      if (inbox->messages.empty() || inbox->messages.front().seq > limit) break;
      posted = std::move(inbox->messages.front());
      inbox->messages.pop_front();
      inbox->LowerIfEmptyLocked();
    }
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
  if (auto inbox = window->inbox.lock()) {
    std::lock_guard lock(inbox->mutex);
    std::erase_if(inbox->messages,
                  [&](const detail::Posted& posted) { return posted.window == window; });
    inbox->LowerIfEmptyLocked();
  }
  // On the window's own thread a running method is this call's caller (the
  // window destroyed from its handler): nothing to wait for.
  if (window->owner != std::this_thread::get_id()) {
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
  std::lock_guard lock(inbox->mutex);
  inbox->messages.push_back(
      detail::Posted{std::move(window), TMessage{Msg, WParam, LParam, 0}, ++inbox->lastSeq});
  inbox->RaiseLocked();
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
