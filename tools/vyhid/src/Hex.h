// Byte strings as hexadecimal text, and numbers given on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "HIDrecords.h"

namespace vyhid {

// Parses hexadecimal bytes. Accepts pairs of digits in either case, written
// together ("48656c") or separated by blanks, ':', ',' or '-', each group
// optionally prefixed with "0x". Returns the bytes, or nothing with a reason
// in *error (an odd number of digits in a group, a character that is not a
// hex digit, or no bytes at all).
std::optional<std::string> ParseHex(std::string_view text, std::string* error);

// The bytes as lower-case hex pairs separated by single spaces.
std::string FormatHex(std::string_view bytes);

// Parses an unsigned number in decimal or with a 0x prefix in hex, up to max.
std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max);

}  // namespace vyhid

namespace vyhid {

// The first `bytes` bytes of a report record's payload, at most all of it.
std::string_view PayloadOf(const THIDreport& report, std::size_t bytes);

// A count and what it counts: "1 byte", "3 bytes".
std::string Plural(std::size_t n, const std::string& one, const std::string& many);

// One report as the tool prints it: "id 1, 3 bytes: 0a 0b 0c".
std::string FormatReport(unsigned report_id, std::string_view bytes);

// One piece of a longer report: "id 1, bytes 65-100 of 100: 40 41 ...", the
// piece's place (bytes counted from 1) and the report's whole length; as
// FormatReport for a piece that is the whole report.
std::string FormatReportPiece(unsigned report_id, std::size_t offset, std::string_view bytes,
                              std::size_t total);

}  // namespace vyhid
