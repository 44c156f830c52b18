// The entry points of HID_Bridge__.dll: the one list of their names, types and
// binding order, the two callback types, and the optional extra exports.
// Everything that names the entry points (the component's fields and binding,
// the bridges' exports, the tests' binders) is derived from this list or
// checked against it.
//
// What a bridge author targets: a shared library named HID_Bridge__.dll that
// exports the 13 entry points below with C linkage and undecorated names
// (HIDscanForDevices, never HIDscanForDevices@0 or _HIDscanForDevices),
// taking and returning the packed records of HIDrecords.h. Byte and boolean
// results: only the low byte counts; a boolean is 0 for false. A byte
// argument arrives in a wider slot or register whose upper bits are junk.
//
// Per platform (the program and its bridge are always of one bitness: a
// process cannot load a library of the other):
//
//   32-bit Windows  PE i386. stdcall: arguments on the stack, right to left,
//                   each in 4-byte slots, removed by the callee. The input
//                   callback's report travels by value on the stack: 65
//                   bytes in 68, then the count's slot; 72 bytes in all,
//                   so the callee ends in `ret $0x48`.
//   64-bit Windows  PE x86-64. The one x64 convention (stdcall means nothing
//                   there): the first four arguments in RCX, RDX, R8, R9,
//                   32 bytes of shadow space reserved by the caller, which
//                   also removes everything. The report "by value" is a
//                   pointer in RCX to a copy the caller made, which the
//                   callee may overwrite; the count is the low byte of RDX.
//   Linux x86-64    ELF, the System V convention.
//
// The records are the same bytes everywhere (HIDrecords.h, packed):
// THIDreport 65, THIDdeviceInfo 1191, its Handle a 32-bit value of the
// bridge's own on every platform, never a pointer. Pointers to records and
// callbacks are the platform's width. The component's own device slot
// (TVyHIDDevInfo, VyHID.h) is not the bridge's: it is 2252 bytes and a
// pointer, 2256 on 32-bit and 2260 on 64-bit platforms.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "HIDrecords.h"

// Callbacks the component hands to the bridge.
// Device change: no parameters; called on every attach or removal.
using TUSBcallBack = void(VYHID_STDCALL*)();
// Input report: the report by value (65 bytes, 68 on the 32-bit stack) and a
// byte count.
using THIDcallBack = void(VYHID_STDCALL*)(THIDreport Report, std::uint8_t BytesCount);

// One calling convention for every call across the boundary: stdcall on
// 32-bit Windows, which differs from the compiler's default there; on every
// other platform the default, so that the types are the plain ones.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(!std::is_same_v<THIDcallBack, void (*)(THIDreport, std::uint8_t)>);
#else
static_assert(std::is_same_v<THIDcallBack, void (*)(THIDreport, std::uint8_t)>);
static_assert(std::is_same_v<TUSBcallBack, void (*)()>);
#endif

// X(name, result, (parameters), (arguments)) for each entry point, in the
// order the component binds them.
#define VYHID_ENTRY_POINTS(X)                                                     \
  X(HIDscanForDevices, std::uint8_t, (), ())                                      \
  X(HIDGetDeviceInfo, void, (std::uint8_t Nr, THIDdeviceInfo * data), (Nr, data)) \
  X(HIDcloseDevice, std::uint8_t, (), ())                                         \
  X(HIDopenDevice, std::uint8_t, (std::uint8_t DeviceNr), (DeviceNr))             \
  X(USBsetEventHandler, void, (TUSBcallBack Handler), (Handler))                  \
  X(HIDsetEventHandler, void, (THIDcallBack Handler), (Handler))                  \
  X(HIDOutputReportSize, std::uint8_t, (), ())                                    \
  X(HIDInputReportSize, std::uint8_t, (), ())                                     \
  X(HIDFeatureReportSize, std::uint8_t, (), ())                                   \
  X(HIDGetInputReport, std::uint8_t, (THIDreport * inReport), (inReport))         \
  X(HIDGetFeatureReport, std::uint8_t, (THIDreport * inReport), (inReport))       \
  X(HIDSetOutputReport, std::uint8_t, (THIDreport * OutReport), (OutReport))      \
  X(HIDSetFeatureReport, std::uint8_t, (THIDreport * OutReport), (OutReport))

// The procedure types: tHIDscanForDevices, tHIDGetDeviceInfo, ...
#define VYHID_ENTRY_POINT_TYPE(name, result, params, args) \
  using t##name = result(VYHID_STDCALL*) params;
VYHID_ENTRY_POINTS(VYHID_ENTRY_POINT_TYPE)
#undef VYHID_ENTRY_POINT_TYPE

// Declares one field per entry point, named as the export, inside a class.
#define VYHID_ENTRY_POINT_FIELD(name, result, params, args) t##name name = nullptr;
#define VYHID_ENTRY_POINT_FIELDS VYHID_ENTRY_POINTS(VYHID_ENTRY_POINT_FIELD)

// Declares a bridge's exports with C linkage, undecorated, visible.
#if defined(_WIN32)
#define VYHID_BRIDGE_EXPORT extern "C" __declspec(dllexport)
#else
#define VYHID_BRIDGE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Optional extra export: why the last entry point called on this thread
// failed. Returns an errno-style code (0: it did not fail, or the bridge
// cannot tell) and copies the reason, UTF-8, cut to fit and NUL-terminated,
// into text[0..size-1] when text is not null. A caller that finds no such
// export (an older bridge, a bridge of another maker) knows only that the
// call failed. The codes a caller may act on:
//   ENOENT  the device is gone or was never there
//   EACCES  this user may not open the device
//   EBUSY   the device is held by another program
//   EIO     the device or the system refused the transfer
using tHIDlastError = std::int32_t(VYHID_STDCALL*)(char* text, std::uint32_t size);

// Optional extra export: the report descriptor of device Nr of the last scan,
// the bytes the device itself gives. Copies min(size, length) bytes into
// buffer[0..size-1] when buffer is not null and returns the descriptor's whole
// length, so that a caller whose buffer was short calls again with one of that
// length (kMaxReportDescriptorBytes always holds it). Returns -1 when the
// bridge cannot give it, with the reason for HIDlastError: ENOENT for a number
// the last scan did not list, ENOSYS where the platform has no way to read a
// descriptor, ENODATA for a device that has none to give (a virtual one),
// EIO when the device would not give it. A caller that finds no
// such export (an older bridge, a bridge of another maker) goes without the
// descriptor; nothing else depends on it.
using tHIDGetReportDescriptor = std::int32_t(VYHID_STDCALL*)(std::uint8_t Nr, std::uint8_t* buffer,
                                                             std::uint32_t size);

namespace vyhid {

// The bridge's file name, loaded by bare name.
inline constexpr char16_t kBridgeFileName[] = u"HID_Bridge__.dll";
inline constexpr char kLastErrorExport[] = "HIDlastError";
inline constexpr char kReportDescriptorExport[] = "HIDGetReportDescriptor";
// The longest report descriptor a device may have (the USB HID class's and
// Linux's limit, HID_MAX_DESCRIPTOR_SIZE).
inline constexpr std::uint32_t kMaxReportDescriptorBytes = 4096;

#define VYHID_ENTRY_POINT_NAME(name, result, params, args) std::string_view(#name),
inline constexpr std::array kEntryPointNames = {VYHID_ENTRY_POINTS(VYHID_ENTRY_POINT_NAME)};
#undef VYHID_ENTRY_POINT_NAME
inline constexpr std::size_t kEntryPointCount = kEntryPointNames.size();
static_assert(kEntryPointCount == 13);

// Binds every entry point field of `fields` (a class declared with
// VYHID_ENTRY_POINT_FIELDS, or any with fields of those names) through
// lookup(const char* name) -> void*. Every lookup is made, also after one has
// failed; returns the first name not found, or an empty view.
template <class Fields, class Lookup>
std::string_view BindEntryPoints(Fields& fields, Lookup&& lookup) {
  std::string_view missing;
#define VYHID_BIND_ENTRY_POINT(name, result, params, args) \
  fields.name = reinterpret_cast<t##name>(lookup(#name));  \
  if (fields.name == nullptr && missing.empty()) missing = #name;
  VYHID_ENTRY_POINTS(VYHID_BIND_ENTRY_POINT)
#undef VYHID_BIND_ENTRY_POINT
  return missing;
}

// Forgets every bound address.
template <class Fields>
void ResetEntryPoints(Fields& fields) {
#define VYHID_RESET_ENTRY_POINT(name, result, params, args) fields.name = nullptr;
  VYHID_ENTRY_POINTS(VYHID_RESET_ENTRY_POINT)
#undef VYHID_RESET_ENTRY_POINT
}

// The entry points as one table of typed pointers, for programs and tests
// that call a bridge directly.
struct EntryPointTable {
  VYHID_ENTRY_POINT_FIELDS
};

}  // namespace vyhid
