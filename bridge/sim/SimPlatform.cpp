#include "SimPlatform.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <string>
#include <utility>

namespace vyhid::sim {

#if defined(_WIN32)

std::filesystem::path LibraryFolder() {
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&LibraryFolder), &self)) {
    return {};
  }
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(self, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    name.resize(name.size() * 2);
  }
  return std::filesystem::path(name).parent_path();
}

std::uint64_t CallingThreadId() {
  return static_cast<std::uint64_t>(::GetCurrentThreadId());
}

std::thread::id StartThreadHoldingLibrary(std::function<void()> body) {
  HMODULE self = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&LibraryFolder), &self);
  std::thread thread([body = std::move(body), self] {
    body();
    ::FreeLibraryAndExitThread(self, 0);
  });
  const std::thread::id id = thread.get_id();
  thread.detach();
  return id;
}

#else

std::filesystem::path LibraryFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return std::filesystem::path(info.dli_fname).parent_path();
}

std::uint64_t CallingThreadId() {
  return static_cast<std::uint64_t>(::gettid());
}

#endif

}  // namespace vyhid::sim
