// Dynamic libraries over the system's LoadLibraryW, GetProcAddress and
// FreeLibrary.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "rtl/DynLib.h"

namespace rtl {
namespace {

// Process-wide: the modules handed out by LoadLibraryW with their number of
// loads, so that FreeLibrary and GetProcAddress refuse a value that is not a
// live module and LoadedLibraryCount can count what was not released.
struct ModuleTable {
  std::mutex mutex;
  std::unordered_map<::HMODULE, int> loads;
  int total = 0;
};

ModuleTable& Modules() {
  static ModuleTable* table = new ModuleTable;  // outlives static destructors
  return *table;
}

thread_local String lastError;

::HMODULE AsHandle(HMODULE module) {
  return reinterpret_cast<::HMODULE>(module);
}

// The system's text for an error code, without the trailing line break.
String SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  String message;
  if (length != 0 && text != nullptr) message.assign(text, text + length);
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' ||
                              message.back() == u' ' || message.back() == u'.')) {
    message.pop_back();
  }
  if (message.empty()) message = u"error " + IntToStr(code);
  return message;
}

}  // namespace

HMODULE LoadLibraryW(const String& FileName) {
  if (FileName.empty() || FileName.find(u'\0') != String::npos) {
    lastError = u"LoadLibraryW: invalid file name";
    return 0;
  }
  // The system wants backslashes in a path; '/' is taken as one too.
  std::wstring name(FileName.begin(), FileName.end());
  for (wchar_t& c : name) {
    if (c == L'/') c = L'\\';
  }
  // A bare name finds a module already loaded under that name first, then
  // follows the system's search order (the program's folder first). Called
  // without our lock: a library's start-up may load libraries itself.
  ::HMODULE module = ::LoadLibraryW(name.c_str());
  if (module == nullptr) {
    lastError = u"LoadLibraryW: " + SystemMessage(::GetLastError());
    return 0;
  }
  ModuleTable& table = Modules();
  std::lock_guard lock(table.mutex);
  ++table.loads[module];
  ++table.total;
  return reinterpret_cast<HMODULE>(module);
}

void* GetProcAddress(HMODULE Module, const char* ProcName) {
  if (Module == 0 || ProcName == nullptr) return nullptr;
  {
    ModuleTable& table = Modules();
    std::lock_guard lock(table.mutex);
    if (table.loads.find(AsHandle(Module)) == table.loads.end()) return nullptr;
  }
  return reinterpret_cast<void*>(::GetProcAddress(AsHandle(Module), ProcName));
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
  // Outside the lock: the library's shut-down may free libraries too.
  return ::FreeLibrary(AsHandle(Module)) != 0;
}

int LoadedLibraryCount() {
  ModuleTable& table = Modules();
  std::lock_guard lock(table.mutex);
  return table.total;
}

void SetLastLibraryError(const String& Reason) {
  lastError = Reason;
}

String LastLibraryError() {
  return lastError;
}

}  // namespace rtl
