// vyhid send and vyhid get: output and feature reports to a device, input
// and feature reports from it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>

#include "Commands.h"
#include "DeviceDescriptor.h"
#include "Error.h"
#include "Hex.h"
#include "Platform.h"
#include "Session.h"
#include "descriptor/ReportCodec.h"
#include "descriptor/UsageNames.h"

namespace vyhid {
namespace {

using Clock = std::chrono::steady_clock;
using vyhid::ReportKind;
namespace desc = vyhid::descriptor;

// --id as a report ID; nothing when it is not given.
std::optional<std::uint8_t> ReportIdOption(const Request& args) {
  if (!args.id) return std::nullopt;
  const std::optional<std::uint32_t> id = ParseNumber(*args.id, 255);
  if (!id) {
    throw CliError(kExitUsage, "bad report ID '" + *args.id + "': give 0 to 255 or 0x00 to 0xff");
  }
  return static_cast<std::uint8_t>(*id);
}

// The bytes to send: the HEX words, or a file or standard input read a piece
// at a time, so that a send of any size holds one piece, not the file.
class Payload {
 public:
  explicit Payload(const CommandContext& c) : stop_fd_(c.stop_fd) {
    const bool has_hex = !c.args.hex.empty();
    if (c.args.file && has_hex)
      throw CliError(kExitUsage, "give either HEX or --file PATH, not both");
    if (c.args.file) {
      name_ = *c.args.file;
      OpenFile();
      return;
    }
    if (!has_hex) throw CliError(kExitUsage, "'send' needs the bytes to send: HEX or --file PATH");
    std::string hex;
    for (const std::string& word : c.args.hex) hex += word + " ";
    std::string why;
    std::optional<std::string> bytes = ParseHex(hex, &why);
    if (!bytes) throw CliError(kExitUsage, "bad hex: " + why);
    buffer_ = std::move(*bytes);
    size_ = buffer_.size();
  }
  ~Payload() {
    if (fd_ > 0) close(fd_);
  }
  Payload(const Payload&) = delete;
  Payload& operator=(const Payload&) = delete;

  // The number of bytes, when known (not for a pipe).
  std::optional<std::size_t> Size() const { return size_; }
  // Up to n bytes; fewer only at the end, or when a stop came while waiting.
  std::string Take(std::size_t n) {
    while (buffer_.size() - pos_ < n && Fill()) {
    }
    std::string piece = buffer_.substr(pos_, n);
    pos_ += piece.size();
    return piece;
  }
  bool AtEnd() { return pos_ == buffer_.size() && !Fill(); }
  // Whether a stop came while waiting for the bytes.
  bool Stopped() const { return stopped_; }

 private:
  void OpenFile() {
    const std::string cannot = "cannot read " + name_ + ": ";
    if (name_ == "-") SetBinary(0);
    fd_ = name_ == "-" ? 0 : open(name_.c_str(), O_RDONLY | kOpenFlags);
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0) throw CliError(kExitUsage, cannot + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw CliError(kExitUsage, name_ + " is a directory, not a file");
    if (S_ISREG(st.st_mode)) size_ = static_cast<std::size_t>(st.st_size);
    // Ask for the first bytes before any device is opened.
    if (AtEnd()) {
      if (stopped_) throw CliError(kExitInterrupted, "interrupted while reading " + name_);
      throw CliError(kExitUsage, name_ + " is empty: nothing to send");
    }
  }
  // Appends what one read gives; false at the end of the file or on a stop.
  bool Fill() {
    if (fd_ < 0 || stopped_) return false;
    buffer_.erase(0, pos_);
    pos_ = 0;
    const std::size_t had = buffer_.size();
    buffer_.resize(had + kPiece);
    ssize_t n = -1;
    for (;;) {
      // Waits for the bytes or a stop (Ctrl-C while a pipe is quiet).
      if (!WaitReadable(fd_, stop_fd_)) {
        stopped_ = true;
        break;
      }
      n = read(fd_, buffer_.data() + had, kPiece);
      if (n >= 0 || errno != EINTR) break;
    }
    buffer_.resize(had + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0 && !stopped_) {
      throw CliError(kExitUsage, "cannot read " + name_ + ": " + std::strerror(errno));
    }
    return n > 0;
  }

  static constexpr std::size_t kPiece = std::size_t{64} * 1024;
  int stop_fd_;
  int fd_ = -1;
  std::string name_;
  std::string buffer_;
  std::size_t pos_ = 0;
  std::optional<std::size_t> size_;
  bool stopped_ = false;
};

// Shows how far a long send has come: a line redrawn in place on a
// terminal, or a line per tenth on other streams when asked with --progress.
class Progress {
 public:
  // An unknown total (a pipe) shows the bytes alone, a line per MiB.
  Progress(LineWriter& err, std::optional<std::size_t> total, bool forced)
      : err_(err),
        total_(total),
        terminal_(err.IsTerminal()),
        shown_(forced || (terminal_ && total.value_or(SIZE_MAX) > 64 * vyhid::kPayloadBytes)) {}

  void Update(std::size_t done) {
    if (!shown_) return;
    const std::size_t step =
        total_ ? std::min<std::size_t>(done * 10 / std::max<std::size_t>(*total_, 1), 10)
               : done >> 20;
    if (terminal_) {
      const auto now = Clock::now();
      if (done != total_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
      last_draw_ = now;
      err_.Raw("\rsending: " + Text(done));
      drawn_ = true;
    } else if (!last_step_ || step > *last_step_ || (done == total_ && *last_step_ < 10)) {
      last_step_ = done == total_ ? 10 : step;
      last_shown_ = done;
      err_.Line("progress: " + Text(done));
    }
  }
  // Ends the line on a terminal; elsewhere shows where an unknown total ended.
  void Finish(std::size_t done) {
    if (drawn_) err_.Raw("\n");
    if (shown_ && !terminal_ && last_shown_ != done) err_.Line("progress: " + Text(done));
  }

 private:
  std::string Text(std::size_t done) const {
    if (!total_) return std::to_string(done) + " bytes";
    return std::to_string(
               std::min<std::size_t>(done * 100 / std::max<std::size_t>(*total_, 1), 100)) +
           "% (" + std::to_string(done) + " of " + std::to_string(*total_) + " bytes)";
  }

  LineWriter& err_;
  std::optional<std::size_t> total_;
  bool terminal_;
  bool shown_;
  bool drawn_ = false;
  std::optional<std::size_t> last_step_;
  std::size_t last_shown_ = 0;
  Clock::time_point last_draw_{};
};

// Keeps, for --reply, the latest input report that arrives on the bridge's
// thread: after a send of several reports, the answer to the last one even
// when the device answers each report.
class ReplyCatcher {
 public:
  void OnGetHIDData(rtl::TObject*, THIDreport report, std::uint8_t bytes_count) {
    std::lock_guard lock(mutex_);
    latest_ = report;
    bytes_ = bytes_count;
    arrived_ = Clock::now();
    wake_.notify_all();
  }
  // The latest report once the device has been quiet for a moment, waiting
  // for the first until `deadline` and for the quiet at most until then.
  std::optional<std::string> Wait(Clock::time_point deadline) {
    constexpr std::chrono::milliseconds kQuiet(100);
    std::unique_lock lock(mutex_);
    for (;;) {
      const Clock::time_point until = latest_ ? std::min(deadline, arrived_ + kQuiet) : deadline;
      if (Clock::now() >= until) break;
      wake_.wait_until(lock, until);
    }
    if (!latest_) return std::nullopt;
    return FormatReport(latest_->ReportID, PayloadOf(*latest_, bytes_));
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<THIDreport> latest_;
  std::size_t bytes_ = 0;
  Clock::time_point arrived_{};
};

// Whether the open device has reports of `kind` to send, or with `fetch` to
// fetch; throws when it has none.
void RequireReports(TVyHID& hid, int nr, ReportKind kind, bool fetch) {
  const bool has = kind == ReportKind::kInput    ? hid.canGetReport
                   : kind == ReportKind::kOutput ? hid.canSetReport
                   : fetch                       ? hid.canGetFeature
                                                 : hid.canSetFeature;
  if (!has) {
    throw CliError(kExitFailure, "device " + std::to_string(nr) + " has no " +
                                     vyhid::ReportKindName(kind) + " reports");
  }
}

// Sends the bytes as reports `id` of one kind through the component, which
// fills, pads and sends each; returns how many of them the device took (fewer
// than all: it refused the rest).
std::size_t SendBytes(TVyHID& hid, ReportKind kind, std::uint8_t id, const std::string& bytes) {
  if (kind == ReportKind::kFeature) {
    // The bytes the device took of the last report; 0: none.
    return hid.SetFeature(id, bytes) > 0 ? bytes.size() : 0;
  }
  // The bytes not sent: the device stopped taking them.
  const std::int32_t not_sent = hid.SetReport(id, bytes);
  if (not_sent < 0) throw CliError(kExitNoBridge, "the bridge is not loaded");
  return bytes.size() - std::min<std::size_t>(static_cast<std::size_t>(not_sent), bytes.size());
}

// Fetches report `id` of one kind (input or feature): the report as the
// device gave it, or nothing when it gave none.
struct FetchedReport {
  std::uint8_t id;
  std::string bytes;
};
std::optional<FetchedReport> FetchReport(TVyHID& hid, ReportKind kind, std::uint8_t id) {
  THIDreport report{};
  report.ReportID = id;
  const std::int32_t got =
      kind == ReportKind::kFeature ? hid.GetFeature(report) : hid.GetReport(report);
  if (got <= 0) return std::nullopt;
  return FetchedReport{report.ReportID, std::string(PayloadOf(report, got))};
}

// The error for a report the device refused or did not give: the bridge's
// reason first (asked now: the next call forgets it), then the IDs of that
// kind the device has when `id` is not among them ("; its output report IDs:
// 1, 2"); else `if_listed` when it has `id`, `if_none` when it lists none.
CliError ReportFailure(const Session& session, const std::string& what,
                       const THIDdeviceInfo& record, ReportKind kind, std::uint8_t id,
                       const std::string& if_listed, const std::string& if_none) {
  const CliError bridge = session.BridgeFailure(what);
  std::string ids;
  bool listed = false;
  const TReportCapabilities* table = vyhid::CapabilityTable(record, kind);
  for (std::size_t i = 0; i < vyhid::kCapabilityEntries; ++i) {
    const TReportCapabilities entry = table[i];
    if (entry.ReportCount == 0) continue;
    ids += (ids.empty() ? "" : ", ") + std::to_string(entry.ReportId);
    listed = listed || entry.ReportId == id;
  }
  const std::string hint =
      listed        ? if_listed
      : ids.empty() ? if_none
                    : "; its " + std::string(ReportKindName(kind)) + " report IDs: " + ids;
  return {bridge.status(), bridge.what() + hint};
}

// One --set: the usage's name and its value.
struct Setting {
  std::string name;
  std::int64_t value = 0;
};

// "NumLock=1", "X=-3", "Mode=0x10".
Setting ParseSetting(const std::string& text) {
  const std::size_t eq = text.find('=');
  const std::string bad = "bad --set '" + text + "': give USAGE=VALUE, e.g. NumLock=1";
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) throw CliError(kExitUsage, bad);
  std::string_view number = std::string_view(text).substr(eq + 1);
  const bool negative = number.front() == '-';
  if (negative) number.remove_prefix(1);
  int base = 10;
  if (number.size() > 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X')) {
    number.remove_prefix(2);
    base = 16;
  }
  std::uint64_t magnitude = 0;
  const auto [end, ec] =
      std::from_chars(number.data(), number.data() + number.size(), magnitude, base);
  if (ec != std::errc() || end != number.data() + number.size() ||
      magnitude > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
    throw CliError(kExitUsage, bad);
  }
  const auto value = static_cast<std::int64_t>(magnitude);
  return {text.substr(0, eq), negative ? -value : value};
}

std::string ReportName(const desc::Report& r) {
  return std::string(ReportKindName(r.kind)) + " report " + std::to_string(r.report_id);
}

// The report of the descriptor (output or feature; only feature with
// --feature, only that ID with --id) whose fields hold every usage named;
// none or several is refused.
const desc::Report& ReportHolding(const desc::ReportDescriptor& model,
                                  const std::vector<Setting>& settings, bool feature,
                                  std::optional<std::uint8_t> wanted_id,
                                  const std::string& device) {
  std::string names;
  for (const Setting& s : settings) names += (names.empty() ? "" : ", ") + s.name;
  std::vector<const desc::Report*> fitting;
  for (const desc::Report& report : model.reports) {
    const bool kind_fits =
        feature ? report.kind == ReportKind::kFeature : report.kind != ReportKind::kInput;
    if (!kind_fits || (wanted_id && report.report_id != *wanted_id)) continue;
    const bool holds_all = std::all_of(settings.begin(), settings.end(), [&](const Setting& s) {
      return desc::FindUsageInReport(report, s.name).has_value();
    });
    if (holds_all) fitting.push_back(&report);
  }
  if (fitting.empty()) {
    throw CliError(kExitUsage, "no " + std::string(feature ? "feature" : "output or feature") +
                                   " report" +
                                   (wanted_id ? " with ID " + std::to_string(*wanted_id) : "") +
                                   " of " + device + " holds " + names +
                                   " ('vyhid describe' lists its reports' usages)");
  }
  if (fitting.size() > 1) {
    std::string which;
    for (const desc::Report* r : fitting) which += (which.empty() ? "" : ", ") + ReportName(*r);
    throw CliError(kExitUsage, "several reports of " + device + " hold " + names + ": " + which +
                                   "; choose one with --id or --feature");
  }
  return *fitting.front();
}

// The report's payload with the settings' values, and the settings as the
// descriptor's listing names them, whatever case was typed ("NumLock=1").
struct EncodedReport {
  std::string payload;
  std::string settings;
};
EncodedReport Encode(const desc::Report& report, const std::vector<Setting>& settings,
                     const std::string& device) {
  if (report.Bytes() > vyhid::kPayloadBytes) {
    throw CliError(kExitUsage, ReportName(report) + " of " + device + " is " +
                                   std::to_string(report.Bytes()) + " bytes; only a report of at " +
                                   "most " + std::to_string(vyhid::kPayloadBytes) +
                                   " goes out whole");
  }
  desc::ReportEncoder encoder(report);
  EncodedReport encoded;
  for (const Setting& s : settings) {
    const desc::Usage usage = *desc::FindUsageInReport(report, s.name);
    const std::string setting = desc::UsageName(usage) + "=" + std::to_string(s.value);
    const std::string refused = encoder.Set(usage, s.value);
    if (!refused.empty()) throw CliError(kExitUsage, "cannot set " + setting + ": " + refused);
    encoded.settings += (encoded.settings.empty() ? "" : " ") + setting;
  }
  const std::vector<std::uint8_t> bytes = encoder.Bytes();
  encoded.payload.assign(
      reinterpret_cast<const char*>(bytes.data()) + (report.report_id != 0 ? 1 : 0),
      report.Bytes());
  return encoded;
}

// vyhid send --set: one report built by usage.
int SendBySetting(CommandContext& c) {
  if (!c.args.hex.empty() || c.args.file) {
    throw CliError(kExitUsage,
                   "give either --set USAGE=VALUE or the bytes (HEX, --file), not both");
  }
  std::vector<Setting> settings;
  for (const std::string& text : c.args.sets) settings.push_back(ParseSetting(text));
  const std::optional<std::uint8_t> wanted_id = ReportIdOption(c.args);

  Session session(c.bridge);
  const int nr = session.SelectDevice(c.args.device);
  const std::string device = "device " + std::to_string(nr);
  std::string why;
  const std::optional<desc::ReportDescriptor> model = DescriptorOf(session, nr, &why);
  if (!model) throw CliError(kExitFailure, "cannot build a report for " + device + ": " + why);
  const desc::Report& report = ReportHolding(*model, settings, c.args.feature, wanted_id, device);
  const EncodedReport encoded = Encode(report, settings, device);

  session.Open(nr);
  session.RequireWritable(nr);
  TVyHID& hid = session.Hid();
  if (SendBytes(hid, report.kind, report.report_id, encoded.payload) < encoded.payload.size()) {
    throw session.BridgeFailure(device + " refused " + ReportName(report));
  }
  c.out.Line("sent " + ReportName(report) + ", " + Plural(encoded.payload.size(), "byte", "bytes") +
             ": " + FormatHex(encoded.payload) + " (" + encoded.settings + ")");
  hid.CloseHidDevice();
  return c.out.Failed() ? kExitFailure : kExitOk;
}

std::chrono::milliseconds ReplyTimeout(const Request& args) {
  if (!args.timeout) return std::chrono::milliseconds(1000);
  const std::optional<std::uint32_t> ms = ParseNumber(*args.timeout, 3600 * 1000);
  if (!ms) throw CliError(kExitUsage, "bad --timeout '" + *args.timeout + "': give milliseconds");
  return std::chrono::milliseconds(*ms);
}

// A report's worth of bytes: the payload of the device's report `id`, which
// is what a device takes of each report; a whole record when it is not known.
std::size_t SliceBytes(const THIDdeviceInfo& record, ReportKind kind, std::uint8_t id) {
  return std::min<std::size_t>(
      DeclaredReportBytes(std::nullopt, record, kind, id).value_or(vyhid::kPayloadBytes),
      vyhid::kPayloadBytes);
}

// How far a send of reports came.
struct SendOutcome {
  std::size_t bytes = 0;    // taken by the device
  std::size_t reports = 0;  // sent or tried
  bool refused = false;
  bool interrupted = false;
};

// Sends the payload one component call per report's worth of bytes, so that
// the tool can count reports, show progress, stop between reports and see
// which report the device refused.
SendOutcome SendPayload(CommandContext& c, TVyHID& hid, Payload& payload, ReportKind kind,
                        std::uint8_t id, std::size_t slice_bytes) {
  Progress progress(c.err, payload.Size(), c.args.progress);
  SendOutcome outcome;
  for (std::string slice = payload.Take(slice_bytes); !slice.empty();
       slice = payload.Take(slice_bytes)) {
    if (StopRequested(c.stop_fd)) {
      outcome.interrupted = true;
      break;
    }
    ++outcome.reports;
    const std::size_t took = SendBytes(hid, kind, id, slice);
    outcome.bytes += took;
    if (took < slice.size()) {
      outcome.refused = true;
      break;
    }
    progress.Update(outcome.bytes);
  }
  progress.Finish(outcome.bytes);
  outcome.interrupted = outcome.interrupted || payload.Stopped();
  return outcome;
}

// The device's answer to the send's last report: the feature report read
// back, or the last input report before the device fell quiet.
std::string Reply(TVyHID& hid, int nr, ReportKind kind, std::uint8_t id, ReplyCatcher& replies,
                  std::chrono::milliseconds timeout) {
  if (kind == ReportKind::kFeature) {
    const std::optional<FetchedReport> report = FetchReport(hid, kind, id);
    if (!report) {
      throw CliError(kExitFailure, "device " + std::to_string(nr) + " returned no feature report " +
                                       std::to_string(id));
    }
    return FormatReport(id, report->bytes);
  }
  const std::optional<std::string> reply = replies.Wait(Clock::now() + timeout);
  if (!reply) {
    throw CliError(kExitFailure, "no reply from device " + std::to_string(nr) + " within " +
                                     std::to_string(timeout.count()) + " ms");
  }
  return *reply;
}

}  // namespace

int RunSend(CommandContext& c) {
  if (!c.args.sets.empty()) return SendBySetting(c);
  const ReportKind kind = c.args.feature ? ReportKind::kFeature : ReportKind::kOutput;
  const std::string kind_name = ReportKindName(kind);
  Payload payload(c);
  const std::optional<std::uint8_t> wanted_id = ReportIdOption(c.args);
  const std::chrono::milliseconds timeout = ReplyTimeout(c.args);

  // Outlives the component, whose bridge thread may still deliver a report.
  ReplyCatcher replies;
  Session session(c.bridge);
  TVyHID& hid = session.Hid();
  const int nr = session.SelectDevice(c.args.device);
  if (c.args.reply && kind == ReportKind::kOutput) {
    hid.OnGetHIDData = TOnGetHIDData(&replies, &ReplyCatcher::OnGetHIDData);
  }
  session.Open(nr);
  session.RequireWritable(nr);
  RequireReports(hid, nr, kind, false);
  const TVyHIDDevInfo& slot = session.Slot(nr);
  const std::int32_t own_id =
      kind == ReportKind::kFeature ? slot.VyHIDinfo.FeatureID : slot.VyHIDinfo.ReportOutID;
  const std::uint8_t id = wanted_id.value_or(static_cast<std::uint8_t>(std::max(own_id, 0)));

  const SendOutcome sent =
      SendPayload(c, hid, payload, kind, id, SliceBytes(slot.HIDinfo, kind, id));
  const std::string reports = Plural(sent.reports, kind_name + " report", kind_name + " reports");
  const std::string of_total = payload.Size() ? std::to_string(sent.bytes) + " of " +
                                                    Plural(*payload.Size(), "byte", "bytes")
                                              : Plural(sent.bytes, "byte", "bytes");
  if (sent.interrupted) {
    c.err.Line("vyhid: interrupted: sent " + of_total + " in " + reports);
    return kExitInterrupted;
  }
  if (sent.refused) {
    throw ReportFailure(session,
                        "device " + std::to_string(nr) + " refused " + kind_name + " report ID " +
                            std::to_string(id) + ", the send's report " +
                            std::to_string(sent.reports) + ": it took " + of_total,
                        slot.HIDinfo, kind, id, "", "");
  }
  // The component reports what the device took of feature reports; of
  // output reports it says nothing, so the tool can only say what it sent.
  c.out.Line((kind == ReportKind::kFeature ? "device took " : "sent ") +
             Plural(sent.bytes, "byte", "bytes") + " in " + reports + " (report ID " +
             std::to_string(id) + ")");
  if (c.args.reply) c.out.Line("reply: " + Reply(hid, nr, kind, id, replies, timeout));
  hid.CloseHidDevice();
  return c.out.Failed() ? kExitFailure : kExitOk;
}

int RunGet(CommandContext& c) {
  const ReportKind kind = c.args.feature ? ReportKind::kFeature : ReportKind::kInput;
  const std::uint8_t id = *ReportIdOption(c.args);  // required on the command line
  Session session(c.bridge);
  TVyHID& hid = session.Hid();
  const int nr = session.SelectDevice(c.args.device);
  session.Open(nr);
  RequireReports(hid, nr, kind, true);
  const THIDdeviceInfo& record = session.Slot(nr).HIDinfo;
  const std::optional<FetchedReport> report = FetchReport(hid, kind, id);
  // The bridge's reason is asked for before the close, which forgets it.
  std::optional<CliError> failure;
  if (!report) {
    const std::string none = "; it had none to give";
    std::string if_listed = none;
    if (kind == ReportKind::kInput) {
      if_listed += " (many devices only send input reports by themselves: 'vyhid monitor " +
                   std::to_string(nr) + "' shows them)";
    }
    failure = ReportFailure(session,
                            "device " + std::to_string(nr) + " returned no " +
                                ReportKindName(kind) + " report " + std::to_string(id),
                            record, kind, id, if_listed, none);
  }
  hid.CloseHidDevice();
  if (failure) throw *failure;
  // A fetch gives one 64-byte piece: of a longer report, say how long it is.
  std::string ignored;
  const std::uint32_t declared =
      DeclaredReportBytes(DescriptorOf(session, nr, &ignored), record, kind, id).value_or(0);
  c.out.Line(FormatReportPiece(report->id, 0, report->bytes,
                               declared > vyhid::kPayloadBytes ? declared : report->bytes.size()));
  return c.out.Failed() ? kExitFailure : kExitOk;
}

}  // namespace vyhid
