// Defines a bridge's exports over its class. Every bridge names its operations
// the same way, the mapping from each entry point to an operation is written
// here once, and the exports are generated from the entry-point list of
// EntryPoints.h. A bridge is its class, the object's lifetime, and one line
// naming the object:
//
//   VYHID_DEFINE_BRIDGE_EXPORTS(*bridge)
//
// which defines the 13 entry points, HIDlastError and HIDGetReportDescriptor,
// and fails to compile when an export's type differs from the list's.
//
// The operations a bridge class has, in the entry points' terms:
//
//   std::uint8_t Scan();                          how many devices, at most 255
//   void DeviceInfo(std::uint8_t nr, THIDdeviceInfo& info);   a listed one's
//   bool Open(std::uint8_t nr);                   or a byte: 0 is failure
//   bool Close();                                 true when a device was open
//   void SetDeviceChangeHandler(TUSBcallBack handler);
//   void SetInputHandler(THIDcallBack handler);
//   std::uint8_t ReportSize(ReportKind kind);
//   std::uint8_t GetReport(ReportKind kind, THIDreport& report);        input, feature
//   std::uint8_t SetReport(ReportKind kind, const THIDreport& report);  output, feature
//   std::int32_t ReportDescriptor(std::uint8_t nr, std::uint8_t* buffer, std::uint32_t size);
//
// A null record never reaches them: HIDGetDeviceInfo then does nothing and a
// transfer returns 0. DeviceInfo is given a record of zeros, which stays so
// for a number beyond the list.
//
// Exceptions: no exception crosses the C boundary. Each call first forgets the
// thread's last error; an exception is recorded as its reason (EIO, "name:
// what") and the call returns 0 (nothing, for the procedures; -1 for
// HIDGetReportDescriptor). A bridge class may instead take each of the 13
// entry points into a member `Enter(name, arguments, body)`, called with the
// entry point's name, its arguments as a tuple and the call in the
// vocabulary; the simulated bridge does, to log calls and to script their
// failures, a thrown one among them.
//
// A variant built without an entry point (a test's bridge that lacks one)
// defines VYHID_OMIT_<name> as `~, 1` before including this file.
#pragma once

#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <tuple>
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

// Each entry point as the operation of bridge `self` it stands for.
template <class Bridge>
struct EntryPointOperations {
  Bridge& self;

  std::uint8_t HIDscanForDevices() { return self.Scan(); }
  void HIDGetDeviceInfo(std::uint8_t nr, THIDdeviceInfo* info) {
    if (info == nullptr) return;
    *info = THIDdeviceInfo{};
    self.DeviceInfo(nr, *info);
  }
  std::uint8_t HIDcloseDevice() { return static_cast<std::uint8_t>(self.Close()); }
  std::uint8_t HIDopenDevice(std::uint8_t nr) { return static_cast<std::uint8_t>(self.Open(nr)); }
  void USBsetEventHandler(TUSBcallBack handler) { self.SetDeviceChangeHandler(handler); }
  void HIDsetEventHandler(THIDcallBack handler) { self.SetInputHandler(handler); }
  std::uint8_t HIDOutputReportSize() { return self.ReportSize(ReportKind::kOutput); }
  std::uint8_t HIDInputReportSize() { return self.ReportSize(ReportKind::kInput); }
  std::uint8_t HIDFeatureReportSize() { return self.ReportSize(ReportKind::kFeature); }
  std::uint8_t HIDGetInputReport(THIDreport* report) { return Get(ReportKind::kInput, report); }
  std::uint8_t HIDGetFeatureReport(THIDreport* report) { return Get(ReportKind::kFeature, report); }
  std::uint8_t HIDSetOutputReport(THIDreport* report) { return Set(ReportKind::kOutput, report); }
  std::uint8_t HIDSetFeatureReport(THIDreport* report) { return Set(ReportKind::kFeature, report); }

 private:
  std::uint8_t Get(ReportKind kind, THIDreport* report) {
    return report != nullptr ? self.GetReport(kind, *report) : 0;
  }
  std::uint8_t Set(ReportKind kind, const THIDreport* report) {
    return report != nullptr ? self.SetReport(kind, *report) : 0;
  }
};

// Runs one entry point's call through the bridge's Enter when it has one,
// guarded otherwise.
template <class Result, class Bridge, class Arguments, class Body>
Result Enter(Bridge& bridge, const char* name, const Arguments& arguments, Body&& body) {
  if constexpr (requires { bridge.Enter(name, arguments, body); }) {
    return bridge.Enter(name, arguments, body);
  } else {
    return Guarded<Result>(name, body);
  }
}

}  // namespace vyhid::abi

#define VYHID_EXPORT_ENTRY_POINT(name, result, params, args)                                      \
  VYHID_BRIDGE_EXPORT result VYHID_STDCALL name params {                                          \
    auto& self = ExportedBridge();                                                                \
    return ::vyhid::abi::Enter<result>(self, #name, std::forward_as_tuple args, [&]() -> result { \
      return ::vyhid::abi::EntryPointOperations<std::remove_reference_t<decltype(self)>>{self}    \
          .name args;                                                                             \
    });                                                                                           \
  }                                                                                               \
  static_assert(std::is_same_v<decltype(&::name), t##name>, #name " has the wrong type");

// Chooses VYHID_EXPORT_ENTRY_POINT, or nothing for an entry point the bridge
// omits: VYHID_OMIT_<name> defined as `~, 1` puts 1 second in the list
// VYHID_SECOND picks from, where an undefined one leaves 0.
#define VYHID_SECOND_OF(first, second, ...) second
#define VYHID_SECOND(...) VYHID_SECOND_OF(__VA_ARGS__)
#define VYHID_JOIN_OF(a, b) a##b
#define VYHID_JOIN(a, b) VYHID_JOIN_OF(a, b)
#define VYHID_EXPORT_IF_0 VYHID_EXPORT_ENTRY_POINT
#define VYHID_EXPORT_IF_1(name, result, params, args)
#define VYHID_EXPORT_UNLESS_OMITTED(name, result, params, args) \
  VYHID_JOIN(VYHID_EXPORT_IF_, VYHID_SECOND(VYHID_OMIT_##name, 0, ))(name, result, params, args)

#define VYHID_DEFINE_BRIDGE_EXPORTS(instance)                                                   \
  namespace {                                                                                   \
  decltype(auto) ExportedBridge() {                                                             \
    return (instance);                                                                          \
  }                                                                                             \
  }                                                                                             \
  VYHID_ENTRY_POINTS(VYHID_EXPORT_UNLESS_OMITTED)                                               \
  VYHID_BRIDGE_EXPORT std::int32_t VYHID_STDCALL HIDlastError(char* text, std::uint32_t size) { \
    return ::vyhid::abi::CopyLastError(text, size);                                             \
  }                                                                                             \
  VYHID_BRIDGE_EXPORT std::int32_t VYHID_STDCALL HIDGetReportDescriptor(                        \
      std::uint8_t Nr, std::uint8_t* buffer, std::uint32_t size) {                              \
    /* An exception is a failure (-1), not a descriptor of length 0. */                         \
    return ::vyhid::abi::Guarded<std::optional<std::int32_t>>(                                  \
               "HIDGetReportDescriptor",                                                        \
               [&]() -> std::optional<std::int32_t> {                                           \
                 return ExportedBridge().ReportDescriptor(Nr, buffer, size);                    \
               })                                                                               \
        .value_or(-1);                                                                          \
  }                                                                                             \
  static_assert(std::is_same_v<decltype(&::HIDGetReportDescriptor), tHIDGetReportDescriptor>);  \
  static_assert(std::is_same_v<decltype(&::HIDlastError), tHIDlastError>);
