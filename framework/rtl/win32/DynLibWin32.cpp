// Dynamic libraries over the system's LoadLibraryW, GetProcAddress and
// FreeLibrary.
#include <windows.h>

#include <algorithm>
#include <string>

#include "DynLibPlatform.h"

namespace rtl::detail {
namespace {

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

HMODULE OpenLibrary(const String& FileName, const void*, String& reason) {
  // The system wants backslashes in a path; '/' is taken as one too.
  std::wstring name(FileName.begin(), FileName.end());
  std::replace(name.begin(), name.end(), L'/', L'\\');
  // A bare name finds a module already loaded under that name first, then
  // follows the system's search order (the program's folder first).
  ::HMODULE module = ::LoadLibraryW(name.c_str());
  if (module == nullptr) reason = u"LoadLibraryW: " + SystemMessage(::GetLastError());
  return reinterpret_cast<HMODULE>(module);
}

void* LibrarySymbol(HMODULE Module, const char* ProcName) {
  return reinterpret_cast<void*>(::GetProcAddress(AsHandle(Module), ProcName));
}

bool CloseLibrary(HMODULE Module) {
  return ::FreeLibrary(AsHandle(Module)) != 0;
}

}  // namespace rtl::detail
