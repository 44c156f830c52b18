#include "SimDevices.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "DescriptorCaps.h"
#include "EntryPoints.h"
#include "RecordBuilder.h"
#include "descriptor/ReportDescriptor.h"

THIDdeviceInfo SimMakeDevice(std::string_view symlink, std::uint16_t vid, std::uint16_t pid,
                             std::string_view product, std::string_view manufacturer,
                             std::string_view serial, std::uint16_t version, bool readWrite) {
  return vyhid::abi::MakeDeviceRecord({.identity = symlink,
                                       .vendor_id = vid,
                                       .product_id = pid,
                                       .version = version,
                                       .manufacturer = manufacturer,
                                       .product = product,
                                       .serial = serial,
                                       .read_write = readWrite});
}

void SimSetBufferSizes(THIDdeviceInfo& info, std::uint16_t output, std::uint16_t input,
                       std::uint16_t feature) {
  info.OutputBufferSize = output;
  info.InputBufferSize = input;
  info.FeatureBufferSize = feature;
}

void SimSetReportCaps(THIDdeviceInfo& info, vyhid::ReportKind kind, std::size_t index,
                      TReportCapabilities caps) {
  if (index < vyhid::kCapabilityEntries) vyhid::CapabilityTable(info, kind)[index] = caps;
}

bool SimAddReport(THIDdeviceInfo& info, vyhid::ReportKind kind, std::uint8_t reportId,
                  std::uint32_t payloadBytes) {
  if (payloadBytes < 1 || payloadBytes > kSimMaxReportBytes) return false;
  // The used entries are those with a non-zero ReportCount at the front.
  std::vector<vyhid::abi::ReportSummary> reports;
  const TReportCapabilities* table = vyhid::CapabilityTable(info, kind);
  for (std::size_t i = 0; i < vyhid::kCapabilityEntries; ++i) {
    const TReportCapabilities entry = table[i];
    if (entry.ReportCount == 0) break;
    if (entry.ReportId == reportId) return false;
    reports.push_back({entry.ReportId, entry.Usage, entry.ReportCount});
  }
  reports.push_back({reportId, 0, payloadBytes});
  const std::uint16_t size =
      std::max(vyhid::BufferSize(info, kind), vyhid::abi::BufferSizeFor(payloadBytes));
  vyhid::abi::FillCapabilityTable(info, kind, size, reports);
  return true;
}

std::uint32_t SimDeclaredBytes(const THIDdeviceInfo& info, vyhid::ReportKind kind,
                               std::uint8_t reportId) {
  const TReportCapabilities* table = vyhid::CapabilityTable(info, kind);
  for (std::size_t i = 0; i < vyhid::kCapabilityEntries; ++i) {
    const TReportCapabilities entry = table[i];
    if (entry.ReportCount == 0) break;
    if (entry.ReportId == reportId) {
      return (std::uint32_t{entry.ReportSize} * entry.ReportCount + 7) / 8;
    }
  }
  return 0;
}

namespace {

// The reader works one line at a time; every look at the text goes through
// string_view operations bounded by the line's size.
constexpr std::string_view kBlanks = " \t";

std::string_view TrimBlanks(std::string_view s) {
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// Splits off the first blank-separated word of s.
std::string_view NextWord(std::string_view& s) {
  s = TrimBlanks(s);
  const std::size_t end = std::min(s.find_first_of(kBlanks), s.size());
  const std::string_view word = s.substr(0, end);
  s = TrimBlanks(s.substr(end));
  return word;
}

// The part of a line before a comment.
std::string_view StripComment(std::string_view s) {
  return s.substr(0, s.find('#'));
}

// A decimal or 0x-prefixed hexadecimal number no larger than max.
std::optional<std::uint32_t> ParseNumber(std::string_view word, std::uint32_t max) {
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  }
  if (word.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : word) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > max) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

struct PendingReport {
  vyhid::ReportKind kind;
  std::uint8_t id;
  std::uint32_t bytes;
};

// Report contents given on a line, checked against the declared reports when
// the device is complete.
struct PendingContents {
  std::size_t line;
  std::string_view keyword;
  vyhid::ReportKind kind;
  SimReportBytes report;
  std::uint32_t period_ms;  // "input every": > 0
};

// Report contents: 1 to `most` bytes (a report's payload by default), each
// one or two hex digits.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view rest,
                                                       std::size_t most = vyhid::kPayloadBytes) {
  std::vector<std::uint8_t> bytes;
  while (!rest.empty()) {
    const std::string_view word = NextWord(rest);
    if (word.size() > 2 || bytes.size() == most) return std::nullopt;
    const std::optional<std::uint32_t> value = ParseNumber("0x" + std::string(word), 0xFF);
    if (!value) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*value));
  }
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

// A period such as "500ms": 10 to 60000 milliseconds.
std::optional<std::uint32_t> ParsePeriod(std::string_view word) {
  if (word.size() < 3 || word.substr(word.size() - 2) != "ms") return std::nullopt;
  const std::optional<std::uint32_t> ms = ParseNumber(word.substr(0, word.size() - 2), 60000);
  if (!ms || *ms < 10) return std::nullopt;
  return ms;
}

struct DeviceBlock {
  std::size_t line = 0;  // where "device" stood
  SimDeviceSpec spec;
  bool has_symlink = false;
  std::vector<std::string> seen;  // single-valued keywords given so far
  std::vector<PendingReport> reports;
  std::vector<PendingContents> contents;
  std::size_t descriptor_line = 0;  // the first "descriptor" line; 0: none
};

// Calls read(number, line) for each line of text, numbered from 1 and
// without its line end (LF or CR LF), until one returns false.
template <class ReadLine>
bool ForEachLine(std::string_view text, ReadLine read) {
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!read(++number, line)) return false;
  }
  return true;
}

class DeviceTextReader {
 public:
  DeviceTextReader(std::vector<SimDeviceSpec>& devices, std::string& error)
      : devices_(devices), error_(error) {}

  bool Read(std::string_view text) {
    devices_.clear();
    return ForEachLine(
               text, [this](std::size_t n, std::string_view line) { return ReadLine(n, line); }) &&
           FinishBlock();
  }

 private:
  // Sets the error from its parts; always returns false.
  template <class... Parts>
  bool Fail(std::size_t line, const Parts&... parts) {
    error_ = "line ";
    error_ += std::to_string(line);
    error_ += ": ";
    (error_.append(std::string_view(parts)), ...);
    return false;
  }

  bool ReadLine(std::size_t line, std::string_view text) {
    std::string_view rest = text;
    const std::string_view keyword = NextWord(rest);
    if (keyword.empty() || keyword[0] == '#') return true;

    if (keyword == "device") {
      if (!TrimBlanks(StripComment(rest)).empty())
        return Fail(line, "unexpected text after 'device'");
      if (!FinishBlock()) return false;
      if (devices_.size() >= kSimMaxDevices) return Fail(line, "more than 255 devices");
      block_.emplace();
      block_->line = line;
      // Devices can be read-write unless the file says otherwise.
      block_->spec.info.HasReadWriteAccess = 1;
      return true;
    }
    if (!block_) return Fail(line, "'", keyword, "' outside a device block");

    if (keyword == "symlink" || keyword == "manufacturer" || keyword == "product" ||
        keyword == "serial") {
      return ReadText(line, keyword, rest);
    }
    if (keyword == "input" || keyword == "output" || keyword == "feature") {
      return ReadReport(line, keyword, StripComment(rest));
    }
    if (keyword == "input-report" || keyword == "feature-report") {
      return ReadContents(line, keyword, StripComment(rest), 0);
    }
    if (keyword == "descriptor") return ReadDescriptor(line, StripComment(rest));
    if (keyword == "vid" || keyword == "pid" || keyword == "version") {
      return ReadWord(line, keyword, StripComment(rest));
    }
    if (keyword == "access" || keyword == "echo")
      return ReadWord(line, keyword, StripComment(rest));
    return Fail(line, "unknown keyword '", keyword.substr(0, 40), "'");
  }

  // Single-valued keywords may be given once per device.
  bool FirstTime(std::size_t line, std::string_view keyword) {
    for (const std::string& seen : block_->seen) {
      if (seen == keyword) return Fail(line, "'", seen, "' given twice for one device");
    }
    block_->seen.emplace_back(keyword);
    return true;
  }

  // A text keyword takes the rest of the line as it stands, '#' included.
  bool ReadText(std::size_t line, std::string_view keyword, std::string_view value) {
    if (!FirstTime(line, keyword)) return false;
    if (value.size() > vyhid::kShortStringChars) return Fail(line, "text longer than 255 bytes");
    THIDdeviceInfo& info = block_->spec.info;
    if (keyword == "symlink") {
      if (value.empty()) return Fail(line, "empty symlink");
      WriteShortString(info.SymLink, value);
      block_->has_symlink = true;
    } else if (keyword == "manufacturer") {
      WriteShortString(info.ManufacturerString, value);
    } else if (keyword == "product") {
      WriteShortString(info.ProductString, value);
    } else {
      WriteShortString(info.SerialNumberString, value);
    }
    return true;
  }

  bool ReadWord(std::size_t line, std::string_view keyword, std::string_view rest) {
    if (!FirstTime(line, keyword)) return false;
    const std::string_view word = NextWord(rest);
    if (word.empty()) return Fail(line, "'", keyword, "' needs a value");
    if (!rest.empty()) return Fail(line, "unexpected text after the value of '", keyword, "'");
    THIDdeviceInfo& info = block_->spec.info;
    if (keyword == "access") {
      if (word != "rw" && word != "ro") return Fail(line, "access must be 'rw' or 'ro'");
      info.HasReadWriteAccess = word == "rw" ? 1 : 0;
      return true;
    }
    if (keyword == "echo") {
      if (word != "on" && word != "off") return Fail(line, "echo must be 'on' or 'off'");
      block_->spec.echo = word == "on";
      return true;
    }
    const std::optional<std::uint32_t> value = ParseNumber(word, 0xFFFF);
    if (!value) return Fail(line, "'", keyword, "' needs a number from 0 to 0xFFFF");
    const auto v = static_cast<std::uint16_t>(*value);
    if (keyword == "vid") {
      info.VID = v;
    } else if (keyword == "pid") {
      info.PID = v;
    } else {
      info.VersionNumber = v;
    }
    return true;
  }

  // "input-report ID BYTES", "feature-report ID BYTES", and "input every
  // PERIOD ID BYTES" (periodMs > 0).
  bool ReadContents(std::size_t line, std::string_view keyword, std::string_view rest,
                    std::uint32_t periodMs) {
    const std::string_view idWord = NextWord(rest);
    const std::optional<std::uint32_t> id = ParseNumber(idWord, 255);
    if (!id) return Fail(line, "'", keyword, "' needs a report ID from 0 to 255, then its bytes");
    std::optional<std::vector<std::uint8_t>> bytes = ParseHexBytes(rest);
    if (!bytes) return Fail(line, "'", keyword, "' needs 1 to 64 bytes in hex, such as 01 02 fe");
    const vyhid::ReportKind kind =
        keyword == "feature-report" ? vyhid::ReportKind::kFeature : vyhid::ReportKind::kInput;
    for (const PendingContents& c : block_->contents) {
      if (c.keyword == keyword && (periodMs > 0 || c.report.id == *id)) {
        return Fail(line, "'", keyword, "' given twice for one ",
                    periodMs > 0 ? "device" : "report");
      }
    }
    block_->contents.push_back(PendingContents{
        line, keyword, kind, SimReportBytes{static_cast<std::uint8_t>(*id), std::move(*bytes)},
        periodMs});
    return true;
  }

  // "descriptor BYTES": the report descriptor in hex; several lines append.
  bool ReadDescriptor(std::size_t line, std::string_view rest) {
    std::vector<std::uint8_t>& descriptor = block_->spec.descriptor;
    const std::optional<std::vector<std::uint8_t>> bytes =
        ParseHexBytes(rest, vyhid::kMaxReportDescriptorBytes - descriptor.size());
    if (!bytes) {
      return Fail(line, "'descriptor' needs bytes in hex, such as 05 01 09 06 (at most ",
                  std::to_string(vyhid::kMaxReportDescriptorBytes), " in all)");
    }
    if (block_->descriptor_line == 0) block_->descriptor_line = line;
    descriptor.insert(descriptor.end(), bytes->begin(), bytes->end());
    return true;
  }

  // A device's descriptor declares exactly the reports its lines list, with
  // the same sizes, as a device's descriptor and its reports agree.
  bool DescriptorAgrees(const DeviceBlock& b) {
    const vyhid::descriptor::ReportDescriptor parsed = vyhid::descriptor::Parse(b.spec.descriptor);
    if (!parsed.ok()) {
      return Fail(b.descriptor_line,
                  "the descriptor does not parse: ", vyhid::descriptor::Describe(parsed.error),
                  " at byte ", std::to_string(parsed.error_offset));
    }
    for (const PendingReport& r : b.reports) {
      const std::optional<std::uint32_t> bytes = parsed.ReportBytes(r.kind, r.id);
      if (bytes != r.bytes) {
        const std::string report =
            std::string(vyhid::ReportKindName(r.kind)) + " report " + std::to_string(r.id);
        return Fail(b.descriptor_line,
                    bytes ? "the descriptor's " + report + " has " + std::to_string(*bytes) +
                                " bytes; the device lists " + std::to_string(r.bytes)
                          : "the descriptor has no " + report + "; the device lists it");
      }
    }
    for (const vyhid::descriptor::Report& report : parsed.reports) {
      const bool listed = std::any_of(b.reports.begin(), b.reports.end(), [&](const auto& r) {
        return r.kind == report.kind && r.id == report.report_id;
      });
      if (!listed) {
        return Fail(b.descriptor_line, "the descriptor declares ",
                    vyhid::ReportKindName(report.kind), " report ",
                    std::to_string(report.report_id), " (", std::to_string(report.Bytes()),
                    " bytes), which the device does not list");
      }
    }
    return true;
  }

  bool ReadReport(std::size_t line, std::string_view keyword, std::string_view rest) {
    std::string_view afterEvery = rest;
    if (keyword == "input" && NextWord(afterEvery) == "every") {
      rest = afterEvery;
      const std::optional<std::uint32_t> period = ParsePeriod(NextWord(rest));
      if (!period) return Fail(line, "'input every' needs a period from 10ms to 60000ms");
      return ReadContents(line, "input every", rest, *period);
    }
    const std::string_view idWord = NextWord(rest);
    const std::string_view bytesWord = NextWord(rest);
    if (idWord.empty() || bytesWord.empty() || !rest.empty()) {
      return Fail(line, "'", keyword, "' needs a report ID and a byte count");
    }
    const std::optional<std::uint32_t> id = ParseNumber(idWord, 255);
    if (!id) return Fail(line, "report ID must be a number from 0 to 255");
    const std::optional<std::uint32_t> bytes = ParseNumber(bytesWord, kSimMaxReportBytes);
    if (!bytes || *bytes == 0) {
      return Fail(line, "byte count must be a number from 1 to ",
                  std::to_string(kSimMaxReportBytes));
    }
    const vyhid::ReportKind kind = keyword == "input"    ? vyhid::ReportKind::kInput
                                   : keyword == "output" ? vyhid::ReportKind::kOutput
                                                         : vyhid::ReportKind::kFeature;
    for (const PendingReport& r : block_->reports) {
      if (r.kind == kind && r.id == *id) {
        return Fail(line, keyword, " report ", std::to_string(*id), " given twice");
      }
    }
    block_->reports.push_back({kind, static_cast<std::uint8_t>(*id), *bytes});
    return true;
  }

  // Completes the current block, if any, and appends its device.
  bool FinishBlock() {
    if (!block_) return true;
    DeviceBlock& b = *block_;
    if (!b.has_symlink) return Fail(b.line, "device has no symlink");
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      if (vyhid::IdentityOf(devices_[i].info) == vyhid::IdentityOf(b.spec.info)) {
        return Fail(b.line, "device has the same symlink as the device on line ",
                    std::to_string(lines_[i]));
      }
    }
    // Reports are entered in ascending ID order so that only the highest IDs
    // of a kind with more than 10 reports lose their capability entry.
    std::sort(b.reports.begin(), b.reports.end(),
              [](const PendingReport& x, const PendingReport& y) { return x.id < y.id; });
    for (const PendingReport& r : b.reports) SimAddReport(b.spec.info, r.kind, r.id, r.bytes);
    if (b.descriptor_line != 0 && !DescriptorAgrees(b)) return false;
    b.spec.strict = true;
    for (PendingContents& c : b.contents) {
      const std::uint32_t declared = SimDeclaredBytes(b.spec.info, c.kind, c.report.id);
      const std::string_view kindName = vyhid::ReportKindName(c.kind);
      if (declared == 0) {
        return Fail(c.line, "'", c.keyword, "': the device has no ", kindName, " report with ID ",
                    std::to_string(c.report.id));
      }
      if (c.report.bytes.size() > declared) {
        return Fail(c.line, "'", c.keyword, "': ", kindName, " report ",
                    std::to_string(c.report.id), " has ", std::to_string(declared), " bytes");
      }
      if (c.period_ms > 0) {
        b.spec.input_period_ms = c.period_ms;
        b.spec.periodic_input = std::move(c.report);
      } else if (c.kind == vyhid::ReportKind::kInput) {
        b.spec.input_reports.push_back(std::move(c.report));
      } else {
        b.spec.feature_reports.push_back(std::move(c.report));
      }
    }
    devices_.push_back(b.spec);
    lines_.push_back(b.line);
    block_.reset();
    return true;
  }

  std::vector<SimDeviceSpec>& devices_;
  std::string& error_;
  std::vector<std::size_t> lines_;  // where each device of devices_ began
  std::optional<DeviceBlock> block_;
};

// The first line that is neither blank nor a comment has the form "X:" of a
// recording's line (device files start with a lower-case keyword).
bool IsRecording(std::string_view text) {
  bool recording = false;
  ForEachLine(text, [&recording](std::size_t, std::string_view raw) {
    const std::string_view line = TrimBlanks(raw);
    if (line.empty() || line[0] == '#') return true;
    recording = line.size() >= 2 && line[0] >= 'A' && line[0] <= 'Z' && line[1] == ':';
    return false;
  });
  return recording;
}

// A recording of devices and their input reports: "D: index" chooses the
// device the lines below belong to (device 0 without one), "R: length bytes"
// gives its report descriptor, "N:" its name, "P:" its physical path, "I: bus
// vendor product" (hex) its identity, and each "E: seconds.microseconds
// length bytes" one input report as it came from the device.
class RecordingReader {
 public:
  RecordingReader(std::vector<SimDeviceSpec>& devices, std::string& error)
      : devices_(devices), error_(error) {}

  bool Read(std::string_view text) {
    devices_.clear();
    return ForEachLine(
               text, [this](std::size_t n, std::string_view line) { return ReadLine(n, line); }) &&
           Finish();
  }

 private:
  struct Recorded {
    std::size_t line = 0;  // where the device was first named
    SimDeviceSpec spec;
    bool has_descriptor = false;
    std::string path;
    std::string name;
  };

  template <class... Parts>
  bool Fail(std::size_t line, const Parts&... parts) {
    error_ = "line ";
    error_ += std::to_string(line);
    error_ += ": ";
    (error_.append(std::string_view(parts)), ...);
    return false;
  }

  Recorded& Current(std::size_t line) {
    if (recorded_.empty()) recorded_.push_back(Recorded{line, {}, false, {}, {}});
    return recorded_[current_];
  }

  bool ReadLine(std::size_t line, std::string_view text) {
    const std::string_view trimmed = TrimBlanks(text);
    if (trimmed.empty() || trimmed[0] == '#') return true;
    if (trimmed.size() < 2 || trimmed[1] != ':') {
      return Fail(line, "a recording's lines start with a letter and ':' (D:, R:, N:, P:, I:, E:)");
    }
    const char kind = trimmed[0];
    const std::string_view rest = TrimBlanks(trimmed.substr(2));
    switch (kind) {
      case 'D':
        return ReadDevice(line, rest);
      case 'R':
        return ReadDescriptor(line, rest);
      case 'N':
      case 'P':
        if (rest.size() > vyhid::kShortStringChars) {
          return Fail(line, "text longer than 255 bytes");
        }
        (kind == 'N' ? Current(line).name : Current(line).path) = std::string(rest);
        return true;
      case 'I':
        return ReadIdentity(line, rest);
      case 'E':
        return ReadEvent(line, rest);
      default:
        return Fail(line, "unknown line '", trimmed.substr(0, 2), "'");
    }
  }

  bool ReadDevice(std::size_t line, std::string_view rest) {
    const std::optional<std::uint32_t> index = ParseNumber(rest, kSimMaxDevices - 1);
    if (!index) return Fail(line, "'D:' needs a device index from 0 to 254");
    if (*index > recorded_.size()) {
      return Fail(line, "device ", std::to_string(*index), " named before device ",
                  std::to_string(recorded_.size()));
    }
    if (*index == recorded_.size()) recorded_.push_back(Recorded{line, {}, false, {}, {}});
    current_ = *index;
    return true;
  }

  // "LENGTH BYTES": the byte count must match the bytes that follow.
  static std::optional<std::vector<std::uint8_t>> CountedBytes(std::string_view rest,
                                                               std::size_t most) {
    const std::optional<std::uint32_t> length =
        ParseNumber(NextWord(rest), static_cast<std::uint32_t>(most));
    if (!length || *length == 0) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> bytes = ParseHexBytes(rest, most);
    if (!bytes || bytes->size() != *length) return std::nullopt;
    return bytes;
  }

  bool ReadDescriptor(std::size_t line, std::string_view rest) {
    Recorded& device = Current(line);
    if (device.has_descriptor) return Fail(line, "'R:' given twice for one device");
    std::optional<std::vector<std::uint8_t>> bytes =
        CountedBytes(rest, vyhid::kMaxReportDescriptorBytes);
    if (!bytes) {
      return Fail(line, "'R:' needs the descriptor's length (1 to 4096) and as many bytes in hex");
    }
    device.spec.descriptor = std::move(*bytes);
    device.has_descriptor = true;
    return true;
  }

  bool ReadIdentity(std::size_t line, std::string_view rest) {
    std::optional<std::uint32_t> ids[3];
    for (std::optional<std::uint32_t>& id : ids) {
      id = ParseNumber("0x" + std::string(NextWord(rest)), 0xFFFF);
    }
    if (!ids[0] || !ids[1] || !ids[2] || !rest.empty()) {
      return Fail(line, "'I:' needs the bus, vendor and product in hex, such as 3 1209 0001");
    }
    THIDdeviceInfo& info = Current(line).spec.info;
    info.VID = static_cast<std::uint16_t>(*ids[1]);
    info.PID = static_cast<std::uint16_t>(*ids[2]);
    return true;
  }

  // "SECONDS.MICROSECONDS LENGTH BYTES".
  bool ReadEvent(std::size_t line, std::string_view rest) {
    const std::string_view stamp = NextWord(rest);
    const std::size_t dot = stamp.find('.');
    const std::optional<std::uint32_t> seconds =
        dot == std::string_view::npos ? std::nullopt : ParseNumber(stamp.substr(0, dot), 99999999);
    const std::string_view fraction = dot == std::string_view::npos ? "" : stamp.substr(dot + 1);
    const std::optional<std::uint32_t> micros =
        fraction.size() == 6 ? ParseNumber(fraction, 999999) : std::nullopt;
    if (!seconds || !micros) {
      return Fail(line, "'E:' needs a time as seconds.microseconds, such as 000001.250000");
    }
    std::optional<std::vector<std::uint8_t>> bytes = CountedBytes(rest, kSimMaxReportBytes + 1);
    if (!bytes) return Fail(line, "'E:' needs the report's length and as many bytes in hex");
    const std::uint64_t at = std::uint64_t{*seconds} * 1000000 + *micros;
    std::vector<SimRecordedInput>& events = Current(line).spec.recorded;
    if (!events.empty() && at < events.back().at_us) {
      return Fail(line, "'E:' goes back in time");
    }
    events.push_back(SimRecordedInput{at, std::move(*bytes)});
    return true;
  }

  // Each device's record from its lines: its path is its identity (made
  // unique: devices of one recording may share one, or have none), its name
  // the product, its reports those of its descriptor.
  bool Finish() {
    for (std::size_t i = 0; i < recorded_.size(); ++i) {
      Recorded& r = recorded_[i];
      if (!r.has_descriptor) {
        return Fail(r.line, "device ", std::to_string(i), " has no report descriptor ('R:' line)");
      }
      std::string identity = r.path.empty() ? "recorded device" : r.path;
      const auto taken = [&](const std::string& candidate) {
        for (std::size_t j = 0; j < i; ++j) {
          const std::string_view other = ReadShortString(devices_[j].info.SymLink);
          if (other.substr(0, vyhid::kIdentityChars) ==
              std::string_view(candidate).substr(0, vyhid::kIdentityChars)) {
            return true;
          }
        }
        return false;
      };
      if (r.path.empty() || taken(identity)) {
        // The index goes in front, within the bytes that identify a device.
        identity = "D" + std::to_string(i) + " " + identity;
      }
      SimDeviceSpec& spec = r.spec;
      const vyhid::descriptor::ReportDescriptor parsed = vyhid::descriptor::Parse(spec.descriptor);
      const std::uint16_t vid = spec.info.VID;
      const std::uint16_t pid = spec.info.PID;
      spec.info = SimMakeDevice(identity, vid, pid, r.name);
      vyhid::caps::FillCapabilities(spec.info, parsed);
      spec.numbered_reports = parsed.uses_report_ids;
      spec.strict = true;
      devices_.push_back(std::move(spec));
    }
    return true;
  }

  std::vector<SimDeviceSpec>& devices_;
  std::string& error_;
  std::vector<Recorded> recorded_;
  std::size_t current_ = 0;
};

}  // namespace

bool SimParseDeviceText(std::string_view text, std::vector<SimDeviceSpec>& devices,
                        std::string& error) {
  error.clear();
  if (IsRecording(text)) return RecordingReader(devices, error).Read(text);
  return DeviceTextReader(devices, error).Read(text);
}
