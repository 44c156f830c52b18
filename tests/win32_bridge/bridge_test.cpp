// The Windows bridge as a program meets it: loaded by path, bound by name,
// asked for devices (under wine: wine's own virtual ones), opened; unloading
// it, even with a device open, ends every thread it started.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <tlhelp32.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "EntryPoints.h"
#include "rtl/DynLib.h"

namespace {

// The calling process's live threads.
std::set<DWORD> Threads() {
  std::set<DWORD> ids;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more;
       more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
  }
  ::CloseHandle(snapshot);
  return ids;
}

bool Alive(DWORD id) {
  HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, id);
  if (thread == nullptr) return false;
  const bool alive = ::WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
  ::CloseHandle(thread);
  return alive;
}

// Whether the thread's start address lies in the module's image.
bool StartsIn(DWORD id, rtl::HMODULE module) {
  using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  constexpr int kThreadQuerySetWin32StartAddress = 9;
  HANDLE thread = ::OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
  if (thread == nullptr || query == nullptr) return false;
  std::uintptr_t start = 0;
  const bool ok =
      query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) >= 0;
  ::CloseHandle(thread);
  const auto base = static_cast<std::uintptr_t>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  return ok && start >= base && start < base + nt->OptionalHeader.SizeOfImage;
}

void VYHID_STDCALL OnChange() {}
void VYHID_STDCALL OnInput(THIDreport, std::uint8_t) {}

template <class Fn>
Fn Bind(rtl::HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(rtl::GetProcAddress(module, name));
}

TEST(Win32Bridge, LoadsBindsEnumeratesOpensAndLeavesNoThread) {
  const std::set<DWORD> before = Threads();
  const rtl::HMODULE bridge = rtl::LoadLibraryW(rtl::Utf8ToString(VYHID_WIN32_BRIDGE_PATH));
  ASSERT_NE(bridge, 0u) << rtl::StringToUtf8(rtl::LastLibraryError());

  vyhid::EntryPointTable hid;
  EXPECT_EQ(vyhid::BindEntryPoints(
                hid, [&](const char* name) { return rtl::GetProcAddress(bridge, name); }),
            "");
  // As the component does: both handlers first, which starts the
  // notification thread.
  Bind<tHIDsetEventHandler>(bridge, "HIDsetEventHandler")(OnInput);
  Bind<tUSBsetEventHandler>(bridge, "USBsetEventHandler")(OnChange);
  std::set<DWORD> started;
  for (DWORD id : Threads()) {
    if (before.count(id) == 0) started.insert(id);
  }
  // Loading the library and installing the handlers may start threads of the
  // system too (the device-notification listener): the bridge's own are
  // those that start in its code.
  std::set<DWORD> own;
  for (DWORD id : started) {
    if (StartsIn(id, bridge)) own.insert(id);
  }
  EXPECT_EQ(own.size(), 1u) << "the notification thread";

  // Wine has a few virtual HID devices of its own (a mouse, a keyboard);
  // each gets a record that it keeps across scans, and opens.
  const int count = Bind<tHIDscanForDevices>(bridge, "HIDscanForDevices")();
  std::vector<THIDdeviceInfo> first(static_cast<std::size_t>(count));
  for (int nr = 0; nr < count; ++nr) {
    Bind<tHIDGetDeviceInfo>(bridge, "HIDGetDeviceInfo")(static_cast<std::uint8_t>(nr), &first[nr]);
    EXPECT_GT(first[nr].SymLink.Length, 0) << nr;
  }
  ASSERT_EQ(Bind<tHIDscanForDevices>(bridge, "HIDscanForDevices")(), count);
  for (int nr = 0; nr < count; ++nr) {
    THIDdeviceInfo again;
    Bind<tHIDGetDeviceInfo>(bridge, "HIDGetDeviceInfo")(static_cast<std::uint8_t>(nr), &again);
    EXPECT_EQ(std::memcmp(&again, &first[nr], 100), 0) << "identity of " << nr;
    EXPECT_EQ(Bind<tHIDopenDevice>(bridge, "HIDopenDevice")(static_cast<std::uint8_t>(nr)), 1);
    EXPECT_EQ(Bind<tHIDInputReportSize>(bridge, "HIDInputReportSize")(),
              std::min<int>(again.InputBufferSize, 255));
  }
  // A number past the list: an empty record, nothing opened.
  THIDdeviceInfo info;
  std::memset(&info, 0xAA, sizeof info);
  Bind<tHIDGetDeviceInfo>(bridge, "HIDGetDeviceInfo")(static_cast<std::uint8_t>(count), &info);
  EXPECT_EQ(info.SymLink.Length, 0);
  EXPECT_EQ(info.VID, 0);
  EXPECT_EQ(Bind<tHIDopenDevice>(bridge, "HIDopenDevice")(static_cast<std::uint8_t>(count)), 0);
  const auto lastError = Bind<tHIDlastError>(bridge, vyhid::kLastErrorExport);
  char text[128] = {};
  EXPECT_EQ(lastError(text, sizeof text), ENOENT) << "the failed open says why";
  EXPECT_EQ(std::string(text).rfind("device number " + std::to_string(count) + " is not listed", 0),
            0u)
      << text;
  // Windows gives no report descriptor: the export says so.
  EXPECT_EQ(Bind<tHIDGetReportDescriptor>(bridge, vyhid::kReportDescriptorExport)(0, nullptr, 0),
            -1);
  EXPECT_EQ(lastError(text, sizeof text), ENOSYS) << text;
  EXPECT_EQ(Bind<tHIDcloseDevice>(bridge, "HIDcloseDevice")(), 0) << "nothing left open";
  EXPECT_EQ(Bind<tHIDInputReportSize>(bridge, "HIDInputReportSize")(), 0);
  THIDreport report{};
  EXPECT_EQ(Bind<tHIDSetOutputReport>(bridge, "HIDSetOutputReport")(&report), 0);
  EXPECT_EQ(Bind<tHIDGetFeatureReport>(bridge, "HIDGetFeatureReport")(&report), 0);
  // Unloading with a device open ends its read thread too.
  if (count > 0) {
    EXPECT_EQ(Bind<tHIDopenDevice>(bridge, "HIDopenDevice")(0), 1);
  }
  for (DWORD id : Threads()) {
    if (before.count(id) == 0 && StartsIn(id, bridge)) own.insert(id);
  }

  EXPECT_TRUE(rtl::FreeLibrary(bridge));
  EXPECT_EQ(::GetModuleHandleW(L"HID_Bridge__.dll"), nullptr) << "unloaded";
  for (DWORD id : own) EXPECT_FALSE(Alive(id)) << "thread " << id;
}

// The library ships as one file: it needs nothing but the system's DLLs.
TEST(Win32Bridge, LoadsWithoutTheCompilersRuntime) {
  const rtl::HMODULE bridge = rtl::LoadLibraryW(rtl::Utf8ToString(VYHID_WIN32_BRIDGE_PATH));
  ASSERT_NE(bridge, 0u);
  // This program uses the shared runtime itself: what counts is that the
  // bridge imports none of it.
  const auto* base = reinterpret_cast<const std::uint8_t*>(bridge);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       d->Name != 0; ++d) {
    const char* name = reinterpret_cast<const char*>(base + d->Name);
    EXPECT_EQ(std::strstr(name, "libstdc++"), nullptr) << name;
    EXPECT_EQ(std::strstr(name, "libgcc"), nullptr) << name;
    EXPECT_EQ(std::strstr(name, "winpthread"), nullptr) << name;
  }
  rtl::FreeLibrary(bridge);
}

}  // namespace
