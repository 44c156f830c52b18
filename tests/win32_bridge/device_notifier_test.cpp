// The notification window's messages as the system sends them: interface
// arrivals and removals are changes; a request to remove the watched device
// reaches its handler with the handle; a refused removal is a change again.
#include <windows.h>
// clang-format off
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <vector>

#include "DeviceNotifier.h"

namespace vyhid::win32 {
namespace {

// This process's notification window: message-only windows are shared by
// every process of the desktop, and other tests' bridges may run beside it.
HWND OwnNotificationWindow() {
  HWND window = nullptr;
  while ((window = ::FindWindowExW(HWND_MESSAGE, window, L"HID_Bridge__.Notification", nullptr))) {
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == ::GetCurrentProcessId()) return window;
  }
  return nullptr;
}

TEST(DeviceNotifier, InterfaceChangesAndRemovalRequestsOfTheWatchedDevice) {
  int changes = 0;
  std::vector<HANDLE> removals;
  DeviceNotifier notifier({[&] { ++changes; }, [&](HANDLE device) { removals.push_back(device); }});
  ASSERT_TRUE(notifier.Start());
  const HWND window = OwnNotificationWindow();
  ASSERT_NE(window, nullptr);
  const auto send = [window](WPARAM event, const void* data) {
    ::SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(data));
  };
  DEV_BROADCAST_DEVICEINTERFACE_W iface{};
  iface.dbcc_size = sizeof iface;
  iface.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  DEV_BROADCAST_HANDLE handle{};
  handle.dbch_size = sizeof handle;
  handle.dbch_devicetype = DBT_DEVTYP_HANDLE;
  handle.dbch_handle = reinterpret_cast<HANDLE>(0x1234);
  send(DBT_DEVICEARRIVAL, &iface);
  send(DBT_DEVICEREMOVECOMPLETE, &iface);
  send(DBT_DEVICEQUERYREMOVE, &handle);
  send(DBT_DEVICEREMOVECOMPLETE, &handle);  // the interface's removal tells it
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(removals, std::vector<HANDLE>{handle.dbch_handle});
  send(DBT_DEVICEQUERYREMOVEFAILED, &handle);
  EXPECT_EQ(changes, 3);
  // Ended as at an unload, under the loader lock: without it the ended
  // thread could be inside its exit, holding that lock, for good.
  using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
  using UnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto lock = reinterpret_cast<LockFn>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "LdrLockLoaderLock")));
  const auto unlock = reinterpret_cast<UnlockFn>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
  ASSERT_TRUE(lock != nullptr && unlock != nullptr);
  ULONG_PTR cookie = 0;
  ASSERT_EQ(lock(0, nullptr, &cookie), 0);
  notifier.EndUnderLoaderLock();
  unlock(0, cookie);
  EXPECT_EQ(OwnNotificationWindow(), nullptr);
}

}  // namespace
}  // namespace vyhid::win32
