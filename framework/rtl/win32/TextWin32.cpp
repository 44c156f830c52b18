// Text in the system's 8-bit code page on Windows.
#include <windows.h>

#include <climits>

#include "rtl/System.h"

namespace rtl {

String AnsiToString(std::string_view Bytes) {
  if (Bytes.empty()) return {};
  // Longer input than an int holds cannot come from a record; cut it.
  const int length = Bytes.size() > INT_MAX ? INT_MAX : static_cast<int>(Bytes.size());
  // One UTF-16 unit per byte at most, in every ANSI code page.
  String out(static_cast<size_t>(length), u'\0');
  const int written = ::MultiByteToWideChar(CP_ACP, 0, Bytes.data(), length,
                                            reinterpret_cast<wchar_t*>(out.data()), length);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

}  // namespace rtl
