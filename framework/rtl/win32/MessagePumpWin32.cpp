// Message windows on Windows: the system's own message-only windows
// (HWND_MESSAGE) on the thread's system message queue. rtl::HWND is the
// system's window handle as a number; PostMessageW and DefWindowProcW are the
// system's. Timers stay in the portable queue, which tells the pump its next
// deadline; the wait is MsgWaitForMultipleObjectsEx on the thread's queue.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "MessagePump.h"

namespace {
// The parent of message-only windows, named here because inside namespace rtl
// HWND is rtl::HWND, which the macro would pick up.
const ::HWND kMessageOnlyParent = HWND_MESSAGE;
}  // namespace

namespace rtl {
namespace detail {
namespace {

constexpr wchar_t kWindowClass[] = L"rtl270.MessageWindow";
// A thread message (no window) that marks the end of one dispatch pass.
constexpr UINT kPassMarker = WM_APP + 0x3F00;
// Sent to a window by another thread that asks its own thread to destroy it.
constexpr UINT kDestroyRequest = WM_APP + 0x3F01;

// What a window carries. A dispatch in progress holds its own reference, so
// that a method may destroy its window and still return safely.
struct WindowData {
  TWndMethod method;
};
using WindowRef = std::shared_ptr<WindowData>;

// Process-wide: windows made by AllocateHWnd and not yet destroyed.
std::atomic<int> liveWindows{0};
// The initial thread: static objects of this library are constructed on it
// when the process loads the library at start-up.
const DWORD initialThreadId = ::GetCurrentThreadId();

// An exception thrown by a window method on this thread, carried across the
// system's code (DispatchMessageW) to the caller of DispatchMessages.
thread_local std::exception_ptr pendingException;

::HWND ToSystem(HWND handle) {
  return reinterpret_cast<::HWND>(handle);
}

[[noreturn]] void ThrowLastError(const char* call) {
  throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), call);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

void RethrowPending() {
  if (pendingException) std::rethrow_exception(std::exchange(pendingException, nullptr));
}

void DestroyOwnWindow(::HWND hwnd);

::LRESULT CALLBACK MessageWindowProc(::HWND hwnd, UINT msg, ::WPARAM wParam, ::LPARAM lParam) {
  auto* ref = reinterpret_cast<WindowRef*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  // Creation and destruction messages come while no method is attached.
  if (ref == nullptr) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  if (msg == kDestroyRequest) {
    DeallocateHWnd(reinterpret_cast<HWND>(hwnd));
    return 0;
  }
  const WindowRef data = *ref;
  TMessage message{msg, wParam, lParam, 0};
  try {
    data->method(message);
  } catch (...) {
    // No C++ exception can pass through the system's frames above us.
    pendingException = std::current_exception();
  }
  return message.Result;
}

void RegisterWindowClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MessageWindowProc;
    wc.hInstance = ThisModule();
    wc.lpszClassName = kWindowClass;
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      ThrowLastError("RegisterClassExW");
    }
  });
}

// Serial-number comparison, so that the pass counter may wrap around.
bool Before(std::uintptr_t a, std::uintptr_t b) {
  return static_cast<std::intptr_t>(a - b) < 0;
}

class Win32MessagePump final : public MessagePump {
 public:
  ~Win32MessagePump() override {
    // The thread is ending: its windows go with it.
    for (::HWND hwnd : windows) DestroyOwnWindow(hwnd);
  }

  int Fd() const override { return -1; }
  bool DispatchMessages() override;
  void ArmTimer(std::optional<Clock::time_point> deadline, bool due_now) override {
    deadline_ = deadline;
    dueNow_ = due_now;
  }
  void Wait(std::optional<std::chrono::milliseconds> timeout) override;

  std::vector<::HWND> windows;  // made on this thread by AllocateHWnd, still alive

 private:
  std::uintptr_t passesStarted_ = 0;
  std::uintptr_t lastPassSeen_ = 0;
  std::optional<Clock::time_point> deadline_;
  bool dueNow_ = false;
};

// One pass takes what is queued now: it posts a marker to the end of the
// thread's queue and stops when it takes the marker back. A nested pass
// posts its own marker and takes the outer one on the way, so the outer
// pass, finding its marker seen, stops too and nothing is dispatched twice.
bool Win32MessagePump::DispatchMessages() {
  const std::uintptr_t pass = ++passesStarted_;
  // Without a marker (the queue is full) the pass takes what there is.
  const bool marked = ::PostThreadMessageW(::GetCurrentThreadId(), kPassMarker, pass, 0) != 0;
  bool any = false;
  MSG msg;
  while (!marked || Before(lastPassSeen_, pass)) {
    const BOOL got = ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
    RethrowPending();  // from a message sent by another thread during the peek
    if (!got) break;
    if (msg.hwnd == nullptr && msg.message == kPassMarker) {
      if (Before(lastPassSeen_, msg.wParam)) lastPassSeen_ = msg.wParam;
      continue;
    }
    if (msg.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));  // left for the host's own loop
      break;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
    RethrowPending();
    any = true;
  }
  return any;
}

void Win32MessagePump::Wait(std::optional<std::chrono::milliseconds> timeout) {
  using std::chrono::milliseconds;
  DWORD ms = INFINITE;
  const auto limit = [&ms](milliseconds d) {
    const auto count = std::clamp<long long>(d.count(), 0, INFINITE - 1);
    ms = std::min(ms, static_cast<DWORD>(count));
  };
  if (timeout) limit(*timeout);
  if (dueNow_) {
    ms = 0;
  } else if (deadline_) {
    limit(std::chrono::ceil<milliseconds>(*deadline_ - Clock::now()));
  }
  // MWMO_INPUTAVAILABLE: also messages that an earlier peek saw but left.
  // A failed wait returns too; callers look again.
  ::MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void DestroyOwnWindow(::HWND hwnd) {
  auto* ref = reinterpret_cast<WindowRef*>(::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0));
  ::DestroyWindow(hwnd);  // also drops the messages still queued for it
  delete ref;             // a dispatch in progress keeps its own reference
  liveWindows.fetch_sub(1);
}

Win32MessagePump& ThisThreadsPump() {
  return static_cast<Win32MessagePump&>(CurrentPump());
}

}  // namespace

std::unique_ptr<MessagePump> MessagePump::Create() {
  return std::make_unique<Win32MessagePump>();
}

bool IsInitialThread() {
  return ::GetCurrentThreadId() == initialThreadId;
}

}  // namespace detail

HWND AllocateHWnd(TWndMethod Method) {
  detail::Win32MessagePump& pump = detail::ThisThreadsPump();
  detail::RegisterWindowClass();
  ::HWND hwnd = ::CreateWindowExW(0, detail::kWindowClass, L"", 0, 0, 0, 0, 0, kMessageOnlyParent,
                                  nullptr, detail::ThisModule(), nullptr);
  if (hwnd == nullptr) detail::ThrowLastError("CreateWindowExW");
  auto* ref = new detail::WindowRef(std::make_shared<detail::WindowData>());
  (*ref)->method = std::move(Method);
  ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(ref));
  pump.windows.push_back(hwnd);
  detail::liveWindows.fetch_add(1);
  return reinterpret_cast<HWND>(hwnd);
}

void DeallocateHWnd(HWND Wnd) {
  ::HWND hwnd = detail::ToSystem(Wnd);
  if (hwnd == nullptr) return;
  if (::GetWindowThreadProcessId(hwnd, nullptr) != ::GetCurrentThreadId()) {
    // Only its own thread can destroy a window: ask it, and wait until it
    // has (it handles the request at its next message retrieval). Nothing
    // happens for a handle that is no longer a window.
    if (::IsWindow(hwnd)) ::SendMessageW(hwnd, detail::kDestroyRequest, 0, 0);
    return;
  }
  auto& windows = detail::ThisThreadsPump().windows;
  const auto it = std::find(windows.begin(), windows.end(), hwnd);
  if (it == windows.end()) return;  // not ours, or already destroyed
  windows.erase(it);
  detail::DestroyOwnWindow(hwnd);
}

bool PostMessageW(HWND Wnd, std::uint32_t Msg, WPARAM WParam, LPARAM LParam) {
  // A null window would make this a message to the calling thread itself.
  if (Wnd == 0) {
    ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  // The system's call is the last one: GetLastError says why it failed.
  return ::PostMessageW(detail::ToSystem(Wnd), Msg, WParam, LParam) != 0;
}

LRESULT DefWindowProcW(HWND Wnd, std::uint32_t Msg, WPARAM WParam, LPARAM LParam) {
  return ::DefWindowProcW(detail::ToSystem(Wnd), Msg, WParam, LParam);
}

int LiveWindowCount() {
  return detail::liveWindows.load();
}

}  // namespace rtl
