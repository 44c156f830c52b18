// The buffer sizes and capability tables of a device record, built from what
// the system's HID parser tells about the device's top-level collection
// (HidP_GetCaps, HidP_GetValueCaps, HidP_GetButtonCaps). Portable, so that
// tests feed it the capabilities of real devices on any platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "HIDrecords.h"

namespace vyhid::win32 {

// The collection's usage and its report lengths in bytes as HidP_GetCaps gives
// them: the longest report of the kind plus one byte for the report ID, which
// is counted even when the device numbers no reports; 0 when the kind is absent.
struct CollectionCaps {
  std::uint16_t usage_page = 0;
  std::uint16_t usage = 0;
  std::uint16_t input_length = 0;
  std::uint16_t output_length = 0;
  std::uint16_t feature_length = 0;
};

// One value or button capability: bit_size bits, report_count times, in the
// report of that kind and ID (ID 0: the device numbers no reports).
struct ItemCaps {
  ReportKind kind = ReportKind::kInput;
  std::uint8_t report_id = 0;
  std::uint16_t bit_size = 0;
  std::uint16_t report_count = 0;
};

// One button capability as HidP_GetButtonCaps tells it ("HIDP_BUTTON_CAPS
// structure"): its main item's flags (bit 1 set: a variable, one bit per
// button; clear: an array of indices), its usage range (UsageMin..UsageMax,
// or the one usage twice) and ReportCount, 0 where the system leaves it out.
struct ButtonCaps {
  ReportKind kind = ReportKind::kInput;
  std::uint8_t report_id = 0;
  std::uint16_t bit_field = 0;
  std::uint16_t usage_min = 0;
  std::uint16_t usage_max = 0;
  std::uint16_t report_count = 0;
};

// The bits a button capability takes in its report. Variable buttons take a
// bit each, one per usage of the range. An array takes ReportCount fields,
// however many usages it can name (six keys of usages 0-101: six fields, not
// 102 bits); the system's capabilities do not give a field's size, so it is
// taken as the whole bytes that hold the highest usage, which is what the
// fields usually are (a key array: 8 bits).
ItemCaps ButtonItem(const ButtonCaps& button);

// Fills the record's OutputBufferSize, InputBufferSize, FeatureBufferSize and
// its three capability tables; other fields are left alone. The sizes are the
// collection's lengths. Each table lists the kind's reports by ascending ID,
// the first 10: the collection's usage, the ID, size 8 and the payload bytes
// (at most 255). A kind with one report takes its payload from the length,
// which counts padding that the item capabilities leave out; with several,
// each report's payload is its items' bits rounded up to bytes.
void FillCapabilities(const CollectionCaps& collection, std::span<const ItemCaps> items,
                      THIDdeviceInfo& info);

// The payload bytes a send of the kind's report `report_id` takes: that
// report's own payload from the record's table; the kind's longest (its buffer
// size less the ID byte) when the table does not list the ID; at most
// kPayloadBytes.
std::uint8_t PayloadTaken(const THIDdeviceInfo& info, ReportKind kind, std::uint8_t report_id);

// The payload bytes to deliver of an input report read from the system,
// `read` bytes with the report ID first. The system pads every report to the
// collection's longest input report: the report's own payload from the
// record's table, never more than was read; all that was read when the table
// does not list the ID or cannot hold its length (255 bytes or more). A
// payload longer than 64 bytes is delivered in pieces (SplitInputReport).
std::size_t InputPayload(const THIDdeviceInfo& info, std::uint8_t report_id, std::size_t read);

}  // namespace vyhid::win32
