// Dynamic libraries over dlopen/dlsym/dlclose.
#include <dlfcn.h>

#include <mutex>
#include <unordered_map>

#include "rtl/DynLib.h"

namespace rtl {
namespace {

// Process-wide: the modules handed out by LoadLibraryW with their number of
// loads, so that FreeLibrary and GetProcAddress refuse a value that is not a
// live module and LoadedLibraryCount can count what was not released.
struct ModuleTable {
  std::mutex mutex;
  std::unordered_map<void*, int> loads;
  int total = 0;
};

ModuleTable& Modules() {
  static ModuleTable* table = new ModuleTable;  // outlives static destructors
  return *table;
}

thread_local String lastError;

void* AsHandle(HMODULE module) {
  return reinterpret_cast<void*>(module);
}

}  // namespace

HMODULE LoadLibraryW(const String& FileName) {
  if (FileName.empty() || FileName.find(u'\0') != String::npos) {
    lastError = u"LoadLibraryW: invalid file name";
    return 0;
  }
  const std::string name = StringToUtf8(FileName);
  // dlopen itself follows the search order for a bare name and returns a
  // module already loaded under that SONAME. It runs without our lock: a
  // library's constructors may load libraries themselves.
  void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    lastError = Utf8ToString(reason != nullptr ? reason : "dlopen failed");
    return 0;
  }
  ModuleTable& table = Modules();
  std::lock_guard lock(table.mutex);
  ++table.loads[handle];
  ++table.total;
  return reinterpret_cast<HMODULE>(handle);
}

void* GetProcAddress(HMODULE Module, const char* ProcName) {
  if (Module == 0 || ProcName == nullptr) return nullptr;
  {
    ModuleTable& table = Modules();
    std::lock_guard lock(table.mutex);
    if (table.loads.find(AsHandle(Module)) == table.loads.end()) return nullptr;
  }
  return ::dlsym(AsHandle(Module), ProcName);
}

bool FreeLibrary(HMODULE Module) {
  {
    ModuleTable& table = Modules();
    std::lock_guard lock(table.mutex);
    auto it = table.loads.find(AsHandle(Module));
    if (it == table.loads.end()) return false;
    if (--it->second == 0) table.loads.erase(it);
    --table.total;
  }
  // Outside the lock: the library's destructors may free libraries too.
  return ::dlclose(AsHandle(Module)) == 0;
}

int LoadedLibraryCount() {
  ModuleTable& table = Modules();
  std::lock_guard lock(table.mutex);
  return table.total;
}

String LastLibraryError() {
  return lastError;
}

}  // namespace rtl
