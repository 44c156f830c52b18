#include "DeviceNotifier.h"

// clang-format off
#include <dbt.h>
extern "C" {  // the HID headers declare no C linkage themselves
#include <hidsdi.h>
}
// clang-format on

#include "Win32Error.h"

namespace vyhid::win32 {

bool DeviceNotifier::Start() {
  if (thread_) return true;
  thread_ = Handle(::CreateThread(nullptr, 0, &DeviceNotifier::Thread, this, 0, nullptr));
  if (!thread_) {
    RecordWin32Error("CreateThread", L"device notification", ::GetLastError());
    return false;
  }
  // Until the thread has its window and waits for messages.
  ::WaitForSingleObject(ready_.get(), INFINITE);
  return true;
}

void DeviceNotifier::Watch(HANDLE device) {
  Unwatch();
  std::lock_guard lock(mutex_);
  if (window_ == nullptr) return;
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = device;
  watched_ = ::RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (watched_ == nullptr) {
    NoteWin32Error("RegisterDeviceNotificationW", L"DBT_DEVTYP_HANDLE", ::GetLastError());
  }
}

void DeviceNotifier::Unwatch() {
  std::lock_guard lock(mutex_);
  if (watched_ != nullptr) ::UnregisterDeviceNotification(watched_);
  watched_ = nullptr;
}

void DeviceNotifier::EndUnderLoaderLock() {
  if (!thread_) return;
  // SetEvent and the waits are kernel32 calls on objects of this library;
  // what the thread does after the stop loads no library, so it never waits
  // for the loader lock that this thread holds.
  ::SetEvent(stop_.get());
  ::WaitForSingleObject(parked_.get(), INFINITE);
  ::TerminateThread(thread_.get(), 0);
  ::WaitForSingleObject(thread_.get(), INFINITE);
  thread_.Reset();
}

DWORD WINAPI DeviceNotifier::Thread(void* self) {
  auto* notifier = static_cast<DeviceNotifier*>(self);
  notifier->Loop();
  ::SetEvent(notifier->parked_.get());
  return 0;
}

LRESULT CALLBACK DeviceNotifier::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg != WM_DEVICECHANGE) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  auto* self = reinterpret_cast<DeviceNotifier*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (self == nullptr || header == nullptr) return TRUE;
  if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
      (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    self->events_.changed();
  } else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    if (wParam == DBT_DEVICEQUERYREMOVE) {
      self->events_.query_remove(
          reinterpret_cast<const DEV_BROADCAST_HANDLE*>(header)->dbch_handle);
    } else if (wParam == DBT_DEVICEQUERYREMOVEFAILED) {
      self->events_.changed();
    }
  }
  return TRUE;  // never refuses a removal
}

// The window receives the HID interface arrivals and removals, and the
// removal requests of the watched handle.
void DeviceNotifier::Loop() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &DeviceNotifier::WindowProc;
  // The class belongs to this library, not to the program that loaded it
  // ("WNDCLASSEXW structure": hInstance, the module that holds the window
  // procedure), so that the library can remove it before it is unloaded.
  HMODULE self = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&DeviceNotifier::WindowProc), &self);
  wc.hInstance = self;
  wc.lpszClassName = L"HID_Bridge__.Notification";
  const ATOM registered = ::RegisterClassExW(&wc);
  HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
  HDEVNOTIFY interfaces = nullptr;
  if (window == nullptr) {
    RecordWin32Error("CreateWindowExW", wc.lpszClassName, ::GetLastError());
  } else {
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    ::HidD_GetHidGuid(&filter.dbcc_classguid);
    interfaces = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (interfaces == nullptr) {
      RecordWin32Error("RegisterDeviceNotificationW", wc.lpszClassName, ::GetLastError());
    }
    std::lock_guard lock(mutex_);
    window_ = window;
  }
  ::SetEvent(ready_.get());
  // Runs the window's messages until the stop: an event, so that the unload,
  // under the loader lock, calls nothing of user32.
  const HANDLE stop = stop_.get();
  while (::MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
  }
  Unwatch();  // unloaded with a device open: its watch goes with the window
  {
    std::lock_guard lock(mutex_);
    window_ = nullptr;
  }
  if (interfaces != nullptr) ::UnregisterDeviceNotification(interfaces);
  if (window != nullptr) ::DestroyWindow(window);
  // Only once no window of the class is left ("UnregisterClassW").
  if (registered != 0) ::UnregisterClassW(wc.lpszClassName, wc.hInstance);
}

}  // namespace vyhid::win32
