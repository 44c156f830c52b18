// Dynamic libraries: the modules handed out by LoadLibraryW, so that a value
// that is not a live module is refused, and the reason of the last failure.
// The platform opens, resolves and closes (DynLibPlatform.h).
#include "rtl/DynLib.h"

#include <mutex>
#include <unordered_map>

#include "DynLibPlatform.h"

namespace rtl {
namespace {

// Process-wide: the modules with their number of loads, so that FreeLibrary
// and GetProcAddress refuse a value that is not a live module and
// LoadedLibraryCount can count what was not released.
struct ModuleTable {
  std::mutex mutex;
  std::unordered_map<HMODULE, int> loads;
  int total = 0;
};

ModuleTable& Modules() {
  static ModuleTable* table = new ModuleTable;  // outlives static destructors
  return *table;
}

thread_local String lastError;

bool IsLoaded(ModuleTable& table, HMODULE Module) {
  std::lock_guard lock(table.mutex);
  return table.loads.find(Module) != table.loads.end();
}

}  // namespace

// Not inlined: the return address identifies the caller, whose search path a
// bare name follows.
__attribute__((noinline)) HMODULE LoadLibraryW(const String& FileName) {
  const void* caller = __builtin_extract_return_addr(__builtin_return_address(0));
  if (FileName.empty() || FileName.find(u'\0') != String::npos) {
    lastError = u"LoadLibraryW: invalid file name";
    return 0;
  }
  // Without our lock: a library's start-up may load libraries itself.
  const HMODULE module = detail::OpenLibrary(FileName, caller, lastError);
  if (module == 0) return 0;
  ModuleTable& table = Modules();
  std::lock_guard lock(table.mutex);
  ++table.loads[module];
  ++table.total;
  return module;
}

void* GetProcAddress(HMODULE Module, const char* ProcName) {
  if (Module == 0 || ProcName == nullptr || !IsLoaded(Modules(), Module)) return nullptr;
  return detail::LibrarySymbol(Module, ProcName);
}

bool FreeLibrary(HMODULE Module) {
  {
    ModuleTable& table = Modules();
    std::lock_guard lock(table.mutex);
    auto it = table.loads.find(Module);
    if (it == table.loads.end()) return false;
    if (--it->second == 0) table.loads.erase(it);
    --table.total;
  }
  // Outside the lock: the library's shut-down may free libraries too.
  return detail::CloseLibrary(Module);
}

int LoadedLibraryCount() {
  ModuleTable& table = Modules();
  std::lock_guard lock(table.mutex);
  return table.total;
}

String LastLibraryError() {
  return lastError;
}

void SetLastLibraryError(const String& Reason) {
  lastError = Reason;
}

}  // namespace rtl
