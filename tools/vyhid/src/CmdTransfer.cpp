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

// The payload of one report record.
constexpr std::size_t kReportBytes = sizeof(THIDbuffer);

std::uint8_t ReportIdOption(const CommandContext& c, std::optional<std::uint8_t> fallback) {
  const std::optional<std::string>& text = c.args.id;
  if (!text) {
    if (fallback) return *fallback;
    throw CliError(kExitUsage, "'" + c.args.command + "' needs --id ID");
  }
  const std::optional<std::uint32_t> id = ParseNumber(*text, 255);
  if (!id)
    throw CliError(kExitUsage, "bad report ID '" + *text + "': give 0 to 255 or 0x00 to 0xff");
  return static_cast<std::uint8_t>(*id);
}

// The bytes to send: the HEX words, or a file or standard input read a piece
// at a time, so that a send of any size holds one piece, not the file.
class Payload {
 public:
  explicit Payload(const CommandContext& c) : stopFd_(c.stopFd) {
    const bool hasHex = !c.args.hex.empty();
    if (c.args.file && hasHex)
      throw CliError(kExitUsage, "give either HEX or --file PATH, not both");
    if (c.args.file) {
      name_ = *c.args.file;
      OpenFile();
      return;
    }
    if (!hasHex) throw CliError(kExitUsage, "'send' needs the bytes to send: HEX or --file PATH");
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
      if (!WaitReadable(fd_, stopFd_)) {
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
  int stopFd_;
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
        shown_(forced || (terminal_ && total.value_or(SIZE_MAX) > 64 * kReportBytes)) {}

  void Update(std::size_t done) {
    if (!shown_) return;
    const std::size_t step =
        total_ ? std::min<std::size_t>(done * 10 / std::max<std::size_t>(*total_, 1), 10)
               : done >> 20;
    if (terminal_) {
      const auto now = Clock::now();
      if (done != total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
      lastDraw_ = now;
      err_.Raw("\rsending: " + Text(done));
      drawn_ = true;
    } else if (!lastStep_ || step > *lastStep_ || (done == total_ && *lastStep_ < 10)) {
      lastStep_ = done == total_ ? 10 : step;
      lastShown_ = done;
      err_.Line("progress: " + Text(done));
    }
  }
  // Ends the line on a terminal; elsewhere shows where an unknown total ended.
  void Finish(std::size_t done) {
    if (drawn_) err_.Raw("\n");
    if (shown_ && !terminal_ && lastShown_ != done) err_.Line("progress: " + Text(done));
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
  std::optional<std::size_t> lastStep_;
  std::size_t lastShown_ = 0;
  Clock::time_point lastDraw_{};
};

// Keeps, for --reply, the latest input report that arrives on the bridge's
// thread: after a send of several reports, the answer to the last one even
// when the device answers each report.
class ReplyCatcher {
 public:
  void OnGetHIDData(rtl::TObject*, THIDreport report, std::uint8_t bytesCount) {
    std::lock_guard lock(mutex_);
    latest_ = report;
    bytes_ = std::min<std::size_t>(bytesCount, kReportBytes);
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
    return FormatReport(
        latest_->ReportID,
        std::string_view(reinterpret_cast<const char*>(latest_->Data.Bytes), bytes_));
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<THIDreport> latest_;
  std::size_t bytes_ = 0;
  Clock::time_point arrived_{};
};

// The payload size of the device's report `id` of one kind, from its
// capability table; the whole record when the table does not list it.
std::size_t ReportPayload(const TReportCapabilities (&caps)[vyhid::kCapabilityEntries],
                          std::uint8_t id) {
  for (const TReportCapabilities& entry : caps) {
    if (entry.ReportCount != 0 && entry.ReportId == id) {
      return std::min<std::size_t>(entry.ReportCount, kReportBytes);
    }
  }
  return kReportBytes;
}

// The IDs of the reports of one kind the device lists ("1, 2"), and whether
// `id` is among them.
struct ListedIds {
  std::string ids;
  bool listed = false;
};
ListedIds ListReportIds(const THIDdeviceInfo& record, vyhid::ReportKind kind, std::uint8_t id) {
  ListedIds result;
  const TReportCapabilities* table = vyhid::CapabilityTable(record, kind);
  for (std::size_t i = 0; i < vyhid::kCapabilityEntries; ++i) {
    const TReportCapabilities entry = table[i];
    if (entry.ReportCount == 0) continue;
    result.ids += (result.ids.empty() ? "" : ", ") + std::to_string(entry.ReportId);
    result.listed = result.listed || entry.ReportId == id;
  }
  return result;
}

// "; its output report IDs: 1, 2" when the device lists reports of that kind
// but not `id`; "" otherwise.
std::string MissingIdHint(const ListedIds& ids, vyhid::ReportKind kind) {
  if (ids.listed || ids.ids.empty()) return "";
  return "; its " + std::string(vyhid::ReportKindName(kind)) + " report IDs: " + ids.ids;
}

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

namespace desc = vyhid::descriptor;

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
  Setting setting{text.substr(0, eq), 0};
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
  setting.value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return setting;
}

std::string ReportName(const desc::Report& r) {
  return std::string(r.kind == vyhid::ReportKind::kFeature ? "feature" : "output") + " report " +
         std::to_string(r.report_id);
}

// vyhid send --set: one report built by usage. The report is the one of the
// descriptor (output or feature; only feature with --feature, only that ID
// with --id) whose fields hold every usage named; none or several is refused.
int SendBySetting(CommandContext& c) {
  if (!c.args.hex.empty() || c.args.file) {
    throw CliError(kExitUsage,
                   "give either --set USAGE=VALUE or the bytes (HEX, --file), not both");
  }
  std::vector<Setting> settings;
  std::string names;
  for (const std::string& text : c.args.sets) {
    settings.push_back(ParseSetting(text));
    names += (names.empty() ? "" : ", ") + settings.back().name;
  }
  std::optional<std::uint8_t> wantedId;
  if (c.args.id) wantedId = ReportIdOption(c, std::nullopt);

  Session session(c.bridge);
  TVyHID& hid = session.Hid();
  const int nr = session.SelectDevice(*c.args.device);
  const std::string device = "device " + std::to_string(nr);
  std::string why;
  const std::optional<desc::ReportDescriptor> model = DescriptorOf(session, nr, &why);
  if (!model) throw CliError(kExitFailure, "cannot build a report for " + device + ": " + why);

  std::vector<const desc::Report*> fitting;
  for (const desc::Report& report : model->reports) {
    const bool kindFits = c.args.feature ? report.kind == vyhid::ReportKind::kFeature
                                         : report.kind != vyhid::ReportKind::kInput;
    if (!kindFits || (wantedId && report.report_id != *wantedId)) continue;
    const bool holdsAll = std::all_of(settings.begin(), settings.end(), [&](const Setting& s) {
      return desc::FindUsageInReport(report, s.name).has_value();
    });
    if (holdsAll) fitting.push_back(&report);
  }
  if (fitting.empty()) {
    throw CliError(kExitUsage,
                   "no " + std::string(c.args.feature ? "feature" : "output or feature") +
                       " report" + (wantedId ? " with ID " + std::to_string(*wantedId) : "") +
                       " of " + device + " holds " + names +
                       " ('vyhid describe' lists its reports' usages)");
  }
  if (fitting.size() > 1) {
    std::string which;
    for (const desc::Report* r : fitting) which += (which.empty() ? "" : ", ") + ReportName(*r);
    throw CliError(kExitUsage, "several reports of " + device + " hold " + names + ": " + which +
                                   "; choose one with --id or --feature");
  }
  const desc::Report& report = *fitting.front();
  if (report.Bytes() > kReportBytes) {
    throw CliError(kExitUsage, ReportName(report) + " of " + device + " is " +
                                   std::to_string(report.Bytes()) + " bytes; only a report of at " +
                                   "most " + std::to_string(kReportBytes) + " goes out whole");
  }
  desc::ReportEncoder encoder(report);
  std::string done;
  for (const Setting& s : settings) {
    // Named as the descriptor's listing names it, whatever case was typed.
    const desc::Usage usage = *desc::FindUsageInReport(report, s.name);
    const std::string setting = desc::UsageName(usage) + "=" + std::to_string(s.value);
    const std::string refused = encoder.Set(usage, s.value);
    if (!refused.empty()) throw CliError(kExitUsage, "cannot set " + setting + ": " + refused);
    done += (done.empty() ? "" : " ") + setting;
  }
  const std::vector<std::uint8_t> bytes = encoder.Bytes();
  const std::string payload(
      reinterpret_cast<const char*>(bytes.data()) + (report.report_id != 0 ? 1 : 0),
      report.Bytes());

  session.Open(nr);
  session.RequireWritable(nr);
  if (report.kind == vyhid::ReportKind::kFeature) {
    if (hid.SetFeature(report.report_id, payload) <= 0) {
      throw session.BridgeFailure(device + " refused " + ReportName(report));
    }
  } else if (const std::int32_t notSent = hid.SetReport(report.report_id, payload); notSent != 0) {
    if (notSent < 0) throw CliError(kExitNoBridge, "the bridge is not loaded");
    throw session.BridgeFailure(device + " refused " + ReportName(report));
  }
  c.out.Line("sent " + ReportName(report) + ", " + Plural(payload.size(), "byte", "bytes") + ": " +
             FormatHex(payload) + " (" + done + ")");
  hid.CloseHidDevice();
  return c.out.Failed() ? kExitFailure : kExitOk;
}

}  // namespace

int RunSend(CommandContext& c) {
  if (!c.args.device) throw CliError(kExitUsage, "'send' needs a DEVICE and the bytes to send");
  if (!c.args.sets.empty()) return SendBySetting(c);
  const bool feature = c.args.feature;
  Payload payload(c);
  std::chrono::milliseconds timeout(1000);
  if (const std::optional<std::string>& t = c.args.timeout) {
    const std::optional<std::uint32_t> ms = ParseNumber(*t, 3600 * 1000);
    if (!ms) throw CliError(kExitUsage, "bad --timeout '" + *t + "': give milliseconds");
    timeout = std::chrono::milliseconds(*ms);
  }

  // Outlives the component, whose bridge thread may still deliver a report.
  ReplyCatcher replies;
  {
    Session session(c.bridge);
    TVyHID& hid = session.Hid();
    const int nr = session.SelectDevice(*c.args.device);
    if (c.args.reply && !feature) {
      hid.OnGetHIDData = TOnGetHIDData(&replies, &ReplyCatcher::OnGetHIDData);
    }
    session.Open(nr);
    session.RequireWritable(nr);
    const TVyHIDdeviceInfo& summary = hid.HIDinfoArray[static_cast<std::size_t>(nr)].VyHIDinfo;
    const char* kind = feature ? "feature" : "output";
    if (!(feature ? hid.canSetFeature : hid.canSetReport)) {
      throw CliError(kExitFailure, "device " + std::to_string(nr) + " has no " + kind + " reports");
    }
    const std::int32_t selected = feature ? summary.FeatureID : summary.ReportOutID;
    const std::uint8_t id =
        ReportIdOption(c, static_cast<std::uint8_t>(selected < 0 ? 0 : selected));

    // One component call per report's worth of bytes (the report's own
    // size, which is what a device takes of each report): the tool can
    // count reports, show progress, stop between reports, and see which
    // feature report the device refused. The component still fills, pads
    // and sends each report.
    const THIDdeviceInfo& record = hid.HIDinfoArray[static_cast<std::size_t>(nr)].HIDinfo;
    const std::size_t sliceBytes =
        ReportPayload(feature ? record.FeatureReportCaps : record.OutputReportCaps, id);
    Progress progress(c.err, payload.Size(), c.args.progress);
    std::size_t sent = 0;
    std::size_t reports = 0;
    bool refused = false;
    bool interrupted = false;
    for (std::string slice = payload.Take(sliceBytes); !slice.empty();
         slice = payload.Take(sliceBytes)) {
      if (StopRequested(c.stopFd)) {
        interrupted = true;
        break;
      }
      ++reports;
      if (feature) {
        // The bytes the device took of the slice's last report; 0: none.
        if (hid.SetFeature(id, slice) <= 0) {
          refused = true;
          break;
        }
      } else {
        // The bytes of the slice not sent: the device stopped taking them.
        const std::int32_t notSent = hid.SetReport(id, slice);
        if (notSent < 0) throw CliError(kExitNoBridge, "the bridge is not loaded");
        if (notSent > 0) {
          sent +=
              slice.size() - std::min<std::size_t>(static_cast<std::size_t>(notSent), slice.size());
          refused = true;
          break;
        }
      }
      sent += slice.size();
      progress.Update(sent);
    }
    progress.Finish(sent);

    const std::string what = Plural(reports, (std::string(kind) + " report").c_str(),
                                    (std::string(kind) + " reports").c_str());
    const std::string ofTotal =
        payload.Size() ? std::to_string(sent) + " of " + Plural(*payload.Size(), "byte", "bytes")
                       : Plural(sent, "byte", "bytes");
    if (interrupted || payload.Stopped()) {
      c.err.Line("vyhid: interrupted: sent " + ofTotal + " in " + what);
      return kExitInterrupted;
    }
    if (refused) {
      // The bridge's reason first (the next call forgets it), then the IDs the
      // device has when it lacks this one.
      const CliError failure = session.BridgeFailure(
          "device " + std::to_string(nr) + " refused " + kind + " report ID " + std::to_string(id) +
          ", the send's report " + std::to_string(reports) + ": it took " + ofTotal);
      const vyhid::ReportKind reportKind =
          feature ? vyhid::ReportKind::kFeature : vyhid::ReportKind::kOutput;
      throw CliError(
          failure.status(),
          failure.what() + MissingIdHint(ListReportIds(record, reportKind, id), reportKind));
    }
    // The component reports what the device took of feature reports; of
    // output reports it says nothing, so the tool can only say what it sent.
    c.out.Line((feature ? "device took " : "sent ") + Plural(sent, "byte", "bytes") + " in " +
               what + " (report ID " + std::to_string(id) + ")");

    if (c.args.reply) {
      std::optional<std::string> reply;
      if (feature) {
        THIDreport report{};
        report.ReportID = id;
        const std::int32_t got = hid.GetFeature(report);
        if (got > 0) {
          reply =
              FormatReport(id, std::string_view(reinterpret_cast<const char*>(report.Data.Bytes),
                                                std::min<std::size_t>(got, kReportBytes)));
        }
      } else {
        reply = replies.Wait(Clock::now() + timeout);
      }
      if (!reply) {
        throw CliError(kExitFailure,
                       feature ? "device " + std::to_string(nr) + " returned no feature report " +
                                     std::to_string(id)
                               : "no reply from device " + std::to_string(nr) + " within " +
                                     std::to_string(timeout.count()) + " ms");
      }
      c.out.Line("reply: " + *reply);
    }
    hid.CloseHidDevice();
  }
  return c.out.Failed() ? kExitFailure : kExitOk;
}

int RunGet(CommandContext& c) {
  if (!c.args.device) throw CliError(kExitUsage, "'get' needs one DEVICE");
  const bool feature = c.args.feature;
  const char* kind = feature ? "feature" : "input";
  const std::uint8_t id = ReportIdOption(c, std::nullopt);
  Session session(c.bridge);
  TVyHID& hid = session.Hid();
  const int nr = session.SelectDevice(*c.args.device);
  session.Open(nr);
  if (!(feature ? hid.canGetFeature : hid.canGetReport)) {
    throw CliError(kExitFailure, "device " + std::to_string(nr) + " has no " + kind + " reports");
  }
  const vyhid::ReportKind reportKind =
      feature ? vyhid::ReportKind::kFeature : vyhid::ReportKind::kInput;
  const THIDdeviceInfo& record = hid.HIDinfoArray[static_cast<std::size_t>(nr)].HIDinfo;
  THIDreport report{};
  report.ReportID = id;
  const std::int32_t got = feature ? hid.GetFeature(report) : hid.GetReport(report);
  // The bridge's reason is asked for before the close, which forgets it.
  std::optional<CliError> failure;
  if (got <= 0) {
    const CliError bridge = session.BridgeFailure("device " + std::to_string(nr) + " returned no " +
                                                  kind + " report " + std::to_string(id));
    // Which IDs the device has, or why a listed one gave nothing.
    const ListedIds ids = ListReportIds(record, reportKind, id);
    std::string hint = MissingIdHint(ids, reportKind);
    if (hint.empty()) hint = "; it had none to give";
    if (ids.listed && !feature) {
      hint += " (many devices only send input reports by themselves: 'vyhid monitor " +
              std::to_string(nr) + "' shows them)";
    }
    failure = CliError(bridge.status(), bridge.what() + hint);
  }
  hid.CloseHidDevice();
  if (failure) throw *failure;
  // A fetch gives one 64-byte piece: of a longer report, say how long it is.
  std::string ignored;
  const std::string_view bytes(reinterpret_cast<const char*>(report.Data.Bytes),
                               std::min<std::size_t>(got, kReportBytes));
  const std::uint32_t declared =
      DeclaredReportBytes(DescriptorOf(session, nr, &ignored), record, reportKind, id).value_or(0);
  c.out.Line(FormatReportPiece(report.ReportID, 0, bytes,
                               declared > kReportBytes ? declared : bytes.size()));
  return c.out.Failed() ? kExitFailure : kExitOk;
}

}  // namespace vyhid
