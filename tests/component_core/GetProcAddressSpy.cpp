#include "GetProcAddressSpy.h"

#include <dlfcn.h>

#include <mutex>
#include <utility>

#include "rtl/DynLib.h"

namespace {

std::mutex gMutex;
std::vector<std::string> gNames;

using GetProcAddressFn = void* (*)(rtl::HMODULE, const char*);

GetProcAddressFn Framework() {
  // The framework's definition is the next one after this executable's.
  static const auto fn =
      reinterpret_cast<GetProcAddressFn>(dlsym(RTLD_NEXT, "_ZN3rtl14GetProcAddressEmPKc"));
  return fn;
}

}  // namespace

namespace rtl {

void* GetProcAddress(HMODULE Module, const char* ProcName) {
  {
    std::lock_guard lock(gMutex);
    gNames.emplace_back(ProcName ? ProcName : "");
  }
  return Framework()(Module, ProcName);
}

}  // namespace rtl

namespace vyhid_test {

std::vector<std::string> TakeLookedUpNames() {
  std::lock_guard lock(gMutex);
  return std::exchange(gNames, {});
}

}  // namespace vyhid_test
