// Dynamic libraries over the system's LoadLibraryW, GetProcAddress and
// FreeLibrary.
#include <windows.h>

#include <algorithm>
#include <cstdint>
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
  return message;
}

// Why a load failed: the system's text with the file named, and the code.
// A module of the other bitness (a 32-bit DLL in a 64-bit process, or the
// reverse) is the likeliest mistake with a library chosen by name, and the
// system's text does not say so: the reason does.
String LoadFailure(const String& FileName, DWORD code) {
  String text = SystemMessage(code);
  const String::size_type insert = text.find(u"%1");
  if (insert != String::npos) {
    text.replace(insert, 2, FileName);
  } else if (text.empty()) {
    text = FileName;
  } else {
    text = FileName + u": " + text;
  }
  text += u" (error " + IntToStr(code);
  if (code == ERROR_BAD_EXE_FORMAT) {
    text +=
        u", ERROR_BAD_EXE_FORMAT: a module built for another processor or bitness; this "
        u"process is " +
        IntToStr(static_cast<std::int64_t>(sizeof(void*) * 8)) + u"-bit";
  }
  return u"LoadLibraryW: " + text + u")";
}

}  // namespace

HMODULE OpenLibrary(const String& FileName, const void*, String& reason) {
  // The system wants backslashes in a path; '/' is taken as one too.
  std::wstring name(FileName.begin(), FileName.end());
  std::replace(name.begin(), name.end(), L'/', L'\\');
  // A bare name finds a module already loaded under that name first, then
  // follows the system's search order (the program's folder first).
  ::HMODULE module = ::LoadLibraryW(name.c_str());
  if (module == nullptr) reason = LoadFailure(FileName, ::GetLastError());
  return reinterpret_cast<HMODULE>(module);
}

void* LibrarySymbol(HMODULE Module, const char* ProcName) {
  return reinterpret_cast<void*>(::GetProcAddress(AsHandle(Module), ProcName));
}

bool CloseLibrary(HMODULE Module) {
  return ::FreeLibrary(AsHandle(Module)) != 0;
}

}  // namespace rtl::detail
