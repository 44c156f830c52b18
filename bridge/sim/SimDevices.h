// Virtual device records for the simulated bridge: builders for
// THIDdeviceInfo and a reader for device files, a small line-based text
// format (see bridge/sim/README.md).
//
// Plain functions over values; they keep no state and are safe from any
// thread. They depend on the HID records alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "HIDrecords.h"

// The most devices a list can hold: device numbers travel as one byte.
inline constexpr std::size_t kSimMaxDevices = vyhid::kMaxBridgeDevices;
// The longest report payload a device file or SimAddReport accepts, so that
// the buffer size (payload + 1 for the report ID byte) fits 16 bits.
inline constexpr std::uint32_t kSimMaxReportBytes = 65534;

// A device record with the given identity and names (each cut at 255 bytes;
// the names at a UTF-8 character boundary), no reports and read-write access
// unless readWrite is false. Every other byte is zero.
THIDdeviceInfo SimMakeDevice(std::string_view symlink, std::uint16_t vid, std::uint16_t pid,
                             std::string_view product = {}, std::string_view manufacturer = {},
                             std::string_view serial = {}, std::uint16_t version = 0,
                             bool readWrite = true);

// Sets the three buffer sizes as given.
void SimSetBufferSizes(THIDdeviceInfo& info, std::uint16_t output, std::uint16_t input,
                       std::uint16_t feature);
// Writes capability entry `index` (0 to 9; other indexes are ignored).
void SimSetReportCaps(THIDdeviceInfo& info, vyhid::ReportKind kind, std::size_t index,
                      TReportCapabilities caps);
// Declares a report of `payloadBytes` bytes (1 to kSimMaxReportBytes) as a
// device would: the kind's buffer size becomes at least payloadBytes + 1, and
// an entry {Usage 0, reportId, ReportSize 8, ReportCount min(payloadBytes,
// 255)} is placed among the used entries (those with a non-zero ReportCount at
// the front of the table) in ascending ID order, pushing the highest entry out
// of a full table. Returns false, changing nothing, for a payload size out of
// range or an ID already in the table.
bool SimAddReport(THIDdeviceInfo& info, vyhid::ReportKind kind, std::uint8_t reportId,
                  std::uint32_t payloadBytes);

// Contents given to one report of a device file ("input-report",
// "feature-report", "input every"): at most 64 bytes.
struct SimReportBytes {
  std::uint8_t id = 0;
  std::vector<std::uint8_t> bytes;
};

// One input report of a recording, as the device sent it: with its report ID
// byte first when the device numbers its reports.
struct SimRecordedInput {
  std::uint64_t at_us = 0;  // microseconds since the recording began
  std::vector<std::uint8_t> bytes;
};

// One device read from a device file or a recording.
struct SimDeviceSpec {
  THIDdeviceInfo info{};
  bool echo = false;    // output reports come back as input reports
  bool strict = false;  // held to its declared reports (every device of a device file)
  std::vector<SimReportBytes> input_reports;    // what a fetch of these input reports returns
  std::vector<SimReportBytes> feature_reports;  // what a fetch of these feature reports returns
  std::uint32_t input_period_ms = 0;            // > 0: periodic_input is sent this often while open
  SimReportBytes periodic_input;
  std::vector<std::uint8_t> descriptor;    // its report descriptor: a recorded device's
  std::vector<SimRecordedInput> recorded;  // a recorded device's input reports, in order
  bool numbered_reports = false;           // its recorded reports start with their ID byte
  std::size_t replay_next = 0;  // the simulated bridge's: the next recorded report to deliver
};

// The payload size a device declares for report `reportId` of a kind: its
// capability entry's ReportSize * ReportCount in bytes, rounded up; 0 when the
// kind's table has no entry for that ID.
std::uint32_t SimDeclaredBytes(const THIDdeviceInfo& info, vyhid::ReportKind kind,
                               std::uint8_t reportId);

// Reads a device file, or a recording of devices in the hid-recorder text
// format (told apart by its first line that is not a comment: "X:" starts a
// recording). A recorded device takes its identity from "P:" (the physical
// path; "D<index> " is put in front of an empty one or one an earlier device
// has), VID and PID from "I:", its product name from "N:", its reports and
// buffer sizes from its descriptor ("R:"), and keeps its input reports ("E:").
// Returns true with the devices in file order, or false
// with `error` set to "line N: what is wrong" (devices then holds nothing
// useful). Any byte sequence is accepted as input; nothing is read beyond it.
bool SimParseDeviceText(std::string_view text, std::vector<SimDeviceSpec>& devices,
                        std::string& error);
