// The records that cross the boundary between the component and a HID bridge
// library (HID_Bridge__.dll): packed little-endian records, their sizes as
// named constants, the three kinds of report and the short strings. The entry
// points that carry them are listed in EntryPoints.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Bridge calls and callbacks are stdcall on 32-bit Windows, the platform's
// default elsewhere: 64-bit Windows has one convention, and the compiler
// ignores stdcall there (EntryPoints.h says what each platform passes how).
#if defined(_WIN32) && !defined(_WIN64)
#define VYHID_STDCALL __attribute__((stdcall))
#else
#define VYHID_STDCALL
#endif

namespace vyhid {

// The payload of one report: every report crosses the boundary as 64 bytes.
inline constexpr std::size_t kPayloadBytes = 64;
// Entries in each of a record's three capability tables.
inline constexpr std::size_t kCapabilityEntries = 10;
// The longest text a short string holds.
inline constexpr std::size_t kShortStringChars = 255;
// A device is recognised across enumerations by the first bytes of its record:
// SymLink's length byte and its first 99 characters.
inline constexpr std::size_t kIdentityBytes = 100;
inline constexpr std::size_t kIdentityChars = kIdentityBytes - 1;
// The component keeps this many device slots; device numbers past them are
// not listed.
inline constexpr std::size_t kDeviceSlots = 32;
// Device numbers travel as one byte: a bridge lists at most this many.
inline constexpr std::size_t kMaxBridgeDevices = 255;

// The three kinds of report a HID device has, in the order a report
// descriptor's main items name them.
enum class ReportKind : std::uint8_t { kInput = 0, kOutput = 1, kFeature = 2 };
inline constexpr std::size_t kReportKindCount = 3;

}  // namespace vyhid

#pragma pack(push, 1)

struct THIDbuffer {
  std::uint8_t Bytes[vyhid::kPayloadBytes];
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
  char Chars[vyhid::kShortStringChars];
};

// What a bridge tells about one device (HIDGetDeviceInfo).
struct THIDdeviceInfo {
  TShortString SymLink;  // the device's identity: its first kIdentityBytes never change for it
  std::uint16_t OutputBufferSize;
  std::uint16_t InputBufferSize;
  std::uint16_t FeatureBufferSize;
  TReportCapabilities OutputReportCaps[vyhid::kCapabilityEntries];
  TReportCapabilities InputReportCaps[vyhid::kCapabilityEntries];
  TReportCapabilities FeatureReportCaps[vyhid::kCapabilityEntries];
  std::uint32_t Handle;  // the bridge's own; never interpreted by the component
  std::uint16_t VID;
  std::uint16_t PID;
  std::uint16_t VersionNumber;
  TShortString ManufacturerString;
  TShortString ProductString;
  TShortString SerialNumberString;
  std::uint8_t HasReadWriteAccess;  // 0: the device opens read-only, or for its features only
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
// The bridge's own 32-bit value on every platform, 64-bit ones included: the
// record's layout never depends on the width of a pointer.
static_assert(sizeof(THIDdeviceInfo::Handle) == 4);
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

namespace vyhid {

// A record's capability table and buffer size of one kind. The tables are
// packed: copy their entries rather than bind references to their fields.
TReportCapabilities* CapabilityTable(THIDdeviceInfo& info, ReportKind kind);
const TReportCapabilities* CapabilityTable(const THIDdeviceInfo& info, ReportKind kind);
std::uint16_t BufferSize(const THIDdeviceInfo& info, ReportKind kind);
void SetBufferSize(THIDdeviceInfo& info, ReportKind kind, std::uint16_t size);
// "input", "output" or "feature", for messages.
const char* ReportKindName(ReportKind kind);
// A device's identity: the first kIdentityBytes of its record, which stay the
// same for the device across enumerations.
inline std::string_view IdentityOf(const THIDdeviceInfo& info) {
  return {reinterpret_cast<const char*>(&info), kIdentityBytes};
}

}  // namespace vyhid
