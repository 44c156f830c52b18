#include "Diagnostics.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vyhid::abi {
namespace {

thread_local BridgeError tLastError;

}  // namespace

bool DebugEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("VYHID_DEBUG");
    return value != nullptr && std::string_view(value) == "1";
  }();
  return enabled;
}

void DebugNote(std::string_view line) {
  if (!DebugEnabled()) return;
  // One write per line, so that lines from several threads do not mix.
  std::string out = "vyhid bridge: ";
  out += line;
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stderr);
}

void SetLastError(int code, std::string_view text) {
  DebugNote(text);
  tLastError.code = code;
  const std::size_t n = std::min(text.size(), sizeof tLastError.text - 1);
  std::memcpy(tLastError.text, text.data(), n);
  tLastError.text[n] = '\0';
}

std::string SystemErrorText(std::string_view call, std::string_view object, int error) {
  std::string text(call);
  if (!object.empty()) {
    text += '(';
    text += object;
    text += ')';
  }
  text += ": ";
  text += std::strerror(error);
  return text;
}

void SetSystemError(std::string_view call, std::string_view object, int error) {
  SetSystemError(call, object, error, error);
}

void SetSystemError(std::string_view call, std::string_view object, int error, int code) {
  SetLastError(code, SystemErrorText(call, object, error));
}

void SetNotListed(unsigned nr, std::size_t listed) {
  SetLastError(ENOENT, "device number " + std::to_string(nr) +
                           " is not listed: the last scan found " + std::to_string(listed) +
                           (listed == 1 ? " device" : " devices"));
}

void SetNoDeviceOpen() {
  SetLastError(ENOENT, "no device is open");
}

void ClearLastError() {
  tLastError.code = 0;
  tLastError.text[0] = '\0';
}

const BridgeError& LastError() {
  return tLastError;
}

std::int32_t CopyLastError(char* text, std::uint32_t size) {
  if (text != nullptr && size > 0) {
    const std::size_t n = std::min<std::size_t>(std::strlen(tLastError.text), size - 1);
    std::memcpy(text, tLastError.text, n);
    text[n] = '\0';
  }
  return tLastError.code;
}

}  // namespace vyhid::abi
