#include "Win32Error.h"

#include <algorithm>
#include <cerrno>

#include "Diagnostics.h"

namespace vyhid::win32 {
namespace {

// ERROR_NO_SUCH_DEVICE, which older mingw-w64 headers lack.
constexpr DWORD kErrorNoSuchDevice = 433;

// The caller's category of a Win32 error (see HIDlastError).
int FailureCode(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
      return EBUSY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case kErrorNoSuchDevice:
      return ENOENT;
    case ERROR_TIMEOUT:
      return ETIMEDOUT;
    default:
      return EIO;
  }
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(std::max(bytes, 0)), '\0');
  if (bytes > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::string Win32ErrorText(std::string_view call, const std::wstring& object, DWORD error) {
  std::string text(call);
  if (!object.empty()) text += "(" + ToUtf8(object) + ")";
  wchar_t* message = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring system(message != nullptr ? message : L"", length);
  if (message != nullptr) ::LocalFree(message);
  while (!system.empty() && (system.back() == L'\r' || system.back() == L'\n' ||
                             system.back() == L' ' || system.back() == L'.')) {
    system.pop_back();
  }
  text += ": " + (system.empty() ? std::string("unknown error") : ToUtf8(system));
  text += " (error " + std::to_string(error) + ")";
  return text;
}

void RecordWin32Error(std::string_view call, const std::wstring& object, DWORD error) {
  vyhid::abi::SetLastError(FailureCode(error), Win32ErrorText(call, object, error));
}

void NoteWin32Error(std::string_view call, const std::wstring& object, DWORD error) {
  vyhid::abi::DebugNote(Win32ErrorText(call, object, error));
}

}  // namespace vyhid::win32
