// The binary interface between the component and a HID bridge library
// (HID_Bridge__.dll): packed little-endian records, the 13 entry-point types
// and the two callback types. Bridges include this header alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Bridge calls and callbacks are stdcall on 32-bit Windows, the platform's
// default elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define VYHID_STDCALL __attribute__((stdcall))
#else
#define VYHID_STDCALL
#endif

#pragma pack(push, 1)

// The payload of one report.
struct THIDbuffer {
  std::uint8_t Bytes[64];
  std::uint8_t& operator[](std::size_t i) { return Bytes[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return Bytes[i]; }
};

struct THIDreport {
  std::uint8_t ReportID;
  THIDbuffer Data;
};

// One entry of a device's report capability table.
struct TReportCapabilities {
  std::uint16_t Usage;
  std::uint8_t ReportId;
  std::uint8_t ReportSize;
  std::uint8_t ReportCount;
};

// A length-prefixed 8-bit string of at most 255 bytes; bytes past the length
// are ignored.
struct TShortString {
  std::uint8_t Length;
  char Chars[255];
};

// What a bridge tells about one device (HIDGetDeviceInfo).
struct THIDdeviceInfo {
  TShortString SymLink;  // the device's identity: the first 100 bytes never change for it
  std::uint16_t OutputBufferSize;
  std::uint16_t InputBufferSize;
  std::uint16_t FeatureBufferSize;
  TReportCapabilities OutputReportCaps[10];
  TReportCapabilities InputReportCaps[10];
  TReportCapabilities FeatureReportCaps[10];
  std::uint32_t Handle;  // the bridge's own; never interpreted by the component
  std::uint16_t VID;
  std::uint16_t PID;
  std::uint16_t VersionNumber;
  TShortString ManufacturerString;
  TShortString ProductString;
  TShortString SerialNumberString;
  std::uint8_t HasReadWriteAccess;  // 0: the device could be opened read-only only
};

#pragma pack(pop)

static_assert(sizeof(THIDbuffer) == 64);
static_assert(sizeof(THIDreport) == 65);
static_assert(offsetof(THIDreport, Data) == 1);
static_assert(sizeof(TReportCapabilities) == 5);
static_assert(offsetof(TReportCapabilities, ReportId) == 2);
static_assert(offsetof(TReportCapabilities, ReportSize) == 3);
static_assert(offsetof(TReportCapabilities, ReportCount) == 4);
static_assert(sizeof(TShortString) == 256);
static_assert(sizeof(THIDdeviceInfo) == 1191);
static_assert(offsetof(THIDdeviceInfo, SymLink) == 0);
static_assert(offsetof(THIDdeviceInfo, OutputBufferSize) == 256);
static_assert(offsetof(THIDdeviceInfo, InputBufferSize) == 258);
static_assert(offsetof(THIDdeviceInfo, FeatureBufferSize) == 260);
static_assert(offsetof(THIDdeviceInfo, OutputReportCaps) == 262);
static_assert(offsetof(THIDdeviceInfo, InputReportCaps) == 312);
static_assert(offsetof(THIDdeviceInfo, FeatureReportCaps) == 362);
static_assert(offsetof(THIDdeviceInfo, Handle) == 412);
static_assert(offsetof(THIDdeviceInfo, VID) == 416);
static_assert(offsetof(THIDdeviceInfo, PID) == 418);
static_assert(offsetof(THIDdeviceInfo, VersionNumber) == 420);
static_assert(offsetof(THIDdeviceInfo, ManufacturerString) == 422);
static_assert(offsetof(THIDdeviceInfo, ProductString) == 678);
static_assert(offsetof(THIDdeviceInfo, SerialNumberString) == 934);
static_assert(offsetof(THIDdeviceInfo, HasReadWriteAccess) == 1190);

// Short strings. Reading gives the Length bytes as they are. Writing cuts a
// longer text at 255 bytes; the UTF-8 variant cuts at a character boundary so
// that no sequence is split. The bytes past the text are zeroed.
std::string_view ReadShortString(const TShortString& s);
void WriteShortString(TShortString& s, std::string_view bytes);
void WriteShortStringUtf8(TShortString& s, std::string_view utf8);

// Callbacks the component hands to the bridge.
// Device change: no parameters; called on every attach or removal.
using TUSBcallBack = void(VYHID_STDCALL*)();
// Input report: the report by value (65 bytes, 68 on the 32-bit stack) and a
// byte count.
using THIDcallBack = void(VYHID_STDCALL*)(THIDreport Report, std::uint8_t BytesCount);

// The 13 entry points, in binding order. Byte and boolean results: only the
// low byte counts; a boolean is 0 for false.
using tHIDscanForDevices = std::uint8_t(VYHID_STDCALL*)();
using tHIDGetDeviceInfo = void(VYHID_STDCALL*)(std::uint8_t Nr, THIDdeviceInfo* data);
using tHIDcloseDevice = std::uint8_t(VYHID_STDCALL*)();
using tHIDopenDevice = std::uint8_t(VYHID_STDCALL*)(std::uint8_t DeviceNr);
using tUSBsetEventHandler = void(VYHID_STDCALL*)(TUSBcallBack Handler);
using tHIDsetEventHandler = void(VYHID_STDCALL*)(THIDcallBack Handler);
using tHIDOutputReportSize = std::uint8_t(VYHID_STDCALL*)();
using tHIDInputReportSize = std::uint8_t(VYHID_STDCALL*)();
using tHIDFeatureReportSize = std::uint8_t(VYHID_STDCALL*)();
using tHIDGetInputReport = std::uint8_t(VYHID_STDCALL*)(THIDreport* inReport);
using tHIDGetFeatureReport = std::uint8_t(VYHID_STDCALL*)(THIDreport* inReport);
using tHIDSetOutputReport = std::uint8_t(VYHID_STDCALL*)(THIDreport* OutReport);
using tHIDSetFeatureReport = std::uint8_t(VYHID_STDCALL*)(THIDreport* OutReport);

// The bridge's file name, loaded by bare name.
inline constexpr char16_t kBridgeFileName[] = u"HID_Bridge__.dll";

// Declares a bridge's exports with C linkage, undecorated, visible. A bridge
// source defines each entry point as
//   VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDscanForDevices() { ... }
#if defined(_WIN32)
#define VYHID_BRIDGE_EXPORT extern "C" __declspec(dllexport)
#else
#define VYHID_BRIDGE_EXPORT extern "C" __attribute__((visibility("default")))
#endif
