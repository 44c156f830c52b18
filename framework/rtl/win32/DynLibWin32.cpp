// Dynamic libraries over the system's LoadLibraryExW, GetProcAddress and
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
  return u"LoadLibraryExW: " + text + u")";
}

}  // namespace

HMODULE OpenLibrary(const String& FileName, const void*, String& reason) {
  // The system wants backslashes in a path; '/' is taken as one too.
  std::wstring name(FileName.begin(), FileName.end());
  std::replace(name.begin(), name.end(), L'/', L'\\');
  // LoadLibraryW's standard search order looks in the current folder and in
  // PATH, where anyone may leave a library of the name a program asks for
  // ("Dynamic-Link Library Security"). A bare name is searched, as are the
  // library's own imports, in the program's folder, the folders the program
  // added (AddDllDirectory, SetDllDirectory) and the system folder only; a
  // module already loaded under the name is still found first. A path loads
  // that file, whose imports are also looked for in its own folder, which
  // the flag wants fully qualified.
  DWORD flags = LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (name.find(L'\\') != std::wstring::npos) {
    const DWORD length = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    std::wstring full(length, L'\0');
    if (length != 0 && ::GetFullPathNameW(name.c_str(), length, full.data(), nullptr) < length) {
      full.resize(std::char_traits<wchar_t>::length(full.c_str()));
      name = full;
      flags |= LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;
    }
  }
  ::HMODULE module = ::LoadLibraryExW(name.c_str(), nullptr, flags);
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
