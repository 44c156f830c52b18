// Defines a bridge's exports over its implementation, with one exception
// policy: no exception crosses the C boundary. A bridge declares
//
//   struct BridgeEntryPoints {
//     static std::uint8_t HIDscanForDevices();
//     static void HIDGetDeviceInfo(std::uint8_t Nr, THIDdeviceInfo* data);
//     ...  // one static function per entry point, named and typed as the list's
//   };
//   VYHID_DEFINE_BRIDGE_EXPORTS()
//
// and gets the 13 entry points, HIDlastError and HIDGetReportDescriptor
// (declared like the entry points, as a static function of that name and
// type; one that has no way to read a descriptor fails with ENOSYS and a
// reason). Each call first forgets the
// thread's last error; an exception is recorded as its reason (EIO, "name:
// what") and the call returns 0 (nothing, for the two handlers and
// HIDGetDeviceInfo).
#pragma once

#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>

#include "Diagnostics.h"
#include "EntryPoints.h"

namespace vyhid::abi {

template <class Result, class Body>
Result Guarded(const char* name, Body&& body) noexcept {
  ClearLastError();
  std::string reason;
  try {
    return body();
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
    reason = "unknown exception";
  }
  try {
    SetLastError(EIO, std::string(name) + ": " + reason);
  } catch (...) {  // out of memory: the code alone is kept
  }
  if constexpr (!std::is_void_v<Result>) return Result{};
}

}  // namespace vyhid::abi

#define VYHID_GUARDED_EXPORT(name, result, params, args)                  \
  VYHID_BRIDGE_EXPORT result VYHID_STDCALL name params {                  \
    return ::vyhid::abi::Guarded<result>(                                 \
        #name, [&]() -> result { return BridgeEntryPoints::name args; }); \
  }

#define VYHID_DEFINE_BRIDGE_EXPORTS()                                                           \
  VYHID_ENTRY_POINTS(VYHID_GUARDED_EXPORT)                                                      \
  VYHID_BRIDGE_EXPORT std::int32_t VYHID_STDCALL HIDlastError(char* text, std::uint32_t size) { \
    return ::vyhid::abi::CopyLastError(text, size);                                             \
  }                                                                                             \
  VYHID_BRIDGE_EXPORT std::int32_t VYHID_STDCALL HIDGetReportDescriptor(                        \
      std::uint8_t Nr, std::uint8_t* buffer, std::uint32_t size) {                              \
    /* An exception is a failure (-1), not a descriptor of length 0. */                         \
    return ::vyhid::abi::Guarded<std::optional<std::int32_t>>(                                  \
               "HIDGetReportDescriptor",                                                        \
               [&]() -> std::optional<std::int32_t> {                                           \
                 return BridgeEntryPoints::HIDGetReportDescriptor(Nr, buffer, size);            \
               })                                                                               \
        .value_or(-1);                                                                          \
  }                                                                                             \
  VYHID_ENTRY_POINTS(VYHID_CHECK_EXPORT)                                                        \
  VYHID_CHECK_EXPORT(HIDGetReportDescriptor, , , )                                              \
  static_assert(std::is_same_v<decltype(&::HIDlastError), tHIDlastError>);
