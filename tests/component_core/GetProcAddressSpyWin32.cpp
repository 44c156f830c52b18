// The spy on Windows. A program cannot take over a function that one
// library imports from another, so at start-up the spy rewrites the
// package's import table: the package's entry for rtl::GetProcAddress then
// points here, and this records the name and forwards to the framework's.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "GetProcAddressSpy.h"
#include "VyHID.h"
#include "rtl/DynLib.h"

namespace {

// rtl::GetProcAddress(HMODULE, const char*) as the linker names it. HMODULE
// is std::uintptr_t: unsigned int (j) on 32-bit Windows, unsigned long long
// (y) on 64-bit Windows.
static_assert(std::is_same_v<std::uintptr_t, unsigned int> ||
              std::is_same_v<std::uintptr_t, unsigned long long>);
constexpr const char* kImportName = std::is_same_v<std::uintptr_t, unsigned int>
                                        ? "_ZN3rtl14GetProcAddressEjPKc"
                                        : "_ZN3rtl14GetProcAddressEyPKc";

std::mutex gMutex;
std::vector<std::string> gNames;

using GetProcAddressFn = void* (*)(rtl::HMODULE, const char*);
GetProcAddressFn gFramework = nullptr;

void* Spy(rtl::HMODULE Module, const char* ProcName) {
  {
    std::lock_guard lock(gMutex);
    gNames.emplace_back(ProcName ? ProcName : "");
  }
  return gFramework(Module, ProcName);
}

template <class T>
T* At(HMODULE module, DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<std::uint8_t*>(module) + rva);
}

// Points the package's import of kImportName at Spy; throws when the package
// imports no such function.
void PatchPackageImport() {
  HMODULE package = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&aVyHID), &package);
  if (package == nullptr) throw std::runtime_error("the package module is not loaded");
  const auto* dos = At<IMAGE_DOS_HEADER>(package, 0);
  const auto* nt = At<IMAGE_NT_HEADERS>(package, static_cast<DWORD>(dos->e_lfanew));
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* desc = At<IMAGE_IMPORT_DESCRIPTOR>(package, dir.VirtualAddress); desc->Name != 0;
       ++desc) {
    auto* names = At<IMAGE_THUNK_DATA>(package, desc->OriginalFirstThunk);
    auto* slots = At<IMAGE_THUNK_DATA>(package, desc->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = At<IMAGE_IMPORT_BY_NAME>(package, names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), kImportName) != 0) continue;
      DWORD old = 0;
      ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      gFramework = reinterpret_cast<GetProcAddressFn>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<std::uintptr_t>(&Spy);
      ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      return;
    }
  }
  throw std::runtime_error("the package imports no rtl::GetProcAddress");
}

const bool gPatched = (PatchPackageImport(), true);

}  // namespace

namespace vyhid_test {

std::vector<std::string> TakeLookedUpNames() {
  std::lock_guard lock(gMutex);
  return std::exchange(gNames, {});
}

}  // namespace vyhid_test
