// vyhid send and vyhid get: output and feature reports to a device, input
// and feature reports from it.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>

#include "Commands.h"
#include "Error.h"
#include "Hex.h"
#include "Session.h"

namespace vyhid {
namespace {

using Clock = std::chrono::steady_clock;

// The payload of one report record.
constexpr std::size_t kReportBytes = sizeof(THIDbuffer);

std::uint8_t ReportIdOption(const CommandContext& c, std::optional<std::uint8_t> fallback) {
  const std::optional<std::string> text = c.args.Value("id");
  if (!text) {
    if (fallback) return *fallback;
    throw CliError(kExitUsage, "'" + c.args.command + "' needs --id ID");
  }
  const std::optional<std::uint32_t> id = ParseNumber(*text, 255);
  if (!id)
    throw CliError(kExitUsage, "bad report ID '" + *text + "': give 0 to 255 or 0x00 to 0xff");
  return static_cast<std::uint8_t>(*id);
}

std::string ReadPayloadFile(const std::string& path) {
  std::ostringstream data;
  if (path == "-") {
    data << std::cin.rdbuf();
    return data.str();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CliError(kExitUsage, "cannot read " + path + ": " + std::strerror(errno));
  data << in.rdbuf();
  if (in.bad()) throw CliError(kExitUsage, "cannot read " + path + ": " + std::strerror(errno));
  return data.str();
}

std::string Payload(const CommandContext& c) {
  const std::optional<std::string> file = c.args.Value("file");
  const bool hasHex = c.args.positional.size() > 1;
  if (file && hasHex) throw CliError(kExitUsage, "give either HEX or --file PATH, not both");
  if (file) {
    std::string data = ReadPayloadFile(*file);
    if (data.empty()) throw CliError(kExitUsage, *file + " is empty: nothing to send");
    return data;
  }
  if (!hasHex) throw CliError(kExitUsage, "'send' needs the bytes to send: HEX or --file PATH");
  std::string hex;
  for (std::size_t i = 1; i < c.args.positional.size(); ++i) hex += c.args.positional[i] + " ";
  std::string why;
  std::optional<std::string> bytes = ParseHex(hex, &why);
  if (!bytes) throw CliError(kExitUsage, "bad hex: " + why);
  return *bytes;
}

// Shows how far a long send has come: a line redrawn in place on a
// terminal, or a line per tenth on other streams when asked with --progress.
class Progress {
 public:
  Progress(LineWriter& err, std::size_t total, bool forced)
      : err_(err),
        total_(total),
        terminal_(err.IsTerminal()),
        shown_(forced || (terminal_ && total > 64 * kReportBytes)) {}

  void Update(std::size_t done) {
    if (!shown_) return;
    const int percent = static_cast<int>(done * 100 / total_);
    if (terminal_) {
      const auto now = Clock::now();
      if (done != total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
      lastDraw_ = now;
      err_.Raw("\rsending: " + Text(done, percent));
      drawn_ = true;
    } else if (percent / 10 > lastTenth_ || (done == total_ && lastTenth_ < 10)) {
      lastTenth_ = percent / 10;
      err_.Line("progress: " + Text(done, percent));
    }
  }
  void Finish() {
    if (drawn_) err_.Raw("\n");
  }

 private:
  std::string Text(std::size_t done, int percent) const {
    return std::to_string(percent) + "% (" + std::to_string(done) + " of " +
           std::to_string(total_) + " bytes)";
  }

  LineWriter& err_;
  std::size_t total_;
  bool terminal_;
  bool shown_;
  bool drawn_ = false;
  int lastTenth_ = -1;
  Clock::time_point lastDraw_{};
};

// Collects the input reports that arrive on the bridge's thread, for --reply.
class ReplyCatcher {
 public:
  void OnGetHIDData(rtl::TObject*, THIDreport report, std::uint8_t bytesCount) {
    std::lock_guard lock(mutex_);
    if (reply_) return;
    reply_ = FormatReport(report.ReportID,
                          std::string_view(reinterpret_cast<const char*>(report.Data.Bytes),
                                           std::min<std::size_t>(bytesCount, kReportBytes)));
    arrived_.notify_all();
  }
  // The first report since the catcher was installed, waiting until deadline.
  std::optional<std::string> Wait(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    arrived_.wait_until(lock, deadline, [this] { return reply_.has_value(); });
    return reply_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::optional<std::string> reply_;
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

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool StopRequested(int stopFd) {
  if (stopFd < 0) return false;
  pollfd fd{stopFd, POLLIN, 0};
  return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int RunSend(CommandContext& c) {
  if (c.args.positional.empty()) {
    throw CliError(kExitUsage, "'send' needs a DEVICE and the bytes to send");
  }
  const bool feature = c.args.Has("feature");
  const std::string payload = Payload(c);
  std::optional<std::chrono::milliseconds> timeout = std::chrono::milliseconds(1000);
  if (const std::optional<std::string> t = c.args.Value("timeout")) {
    const std::optional<std::uint32_t> ms = ParseNumber(*t, 3600 * 1000);
    if (!ms) throw CliError(kExitUsage, "bad --timeout '" + *t + "': give milliseconds");
    timeout = std::chrono::milliseconds(*ms);
  }

  // Outlives the component, whose bridge thread may still deliver a report.
  ReplyCatcher replies;
  {
    Session session(c.bridge);
    TVyHID& hid = session.Hid();
    const int nr = session.SelectDevice(c.args.positional[0]);
    if (c.args.Has("reply") && !feature) {
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
    Progress progress(c.err, payload.size(), c.args.Has("progress"));
    std::size_t sent = 0;
    std::size_t reports = 0;
    bool refused = false;
    bool interrupted = false;
    while (sent < payload.size()) {
      if (StopRequested(c.stopFd)) {
        interrupted = true;
        break;
      }
      const std::string slice = payload.substr(sent, sliceBytes);
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
    progress.Finish();

    const std::string what = Plural(reports, (std::string(kind) + " report").c_str(),
                                    (std::string(kind) + " reports").c_str());
    if (interrupted) {
      c.err.Line("vyhid: interrupted: sent " + std::to_string(sent) + " of " +
                 std::to_string(payload.size()) + " bytes in " + what);
      return kExitInterrupted;
    }
    if (refused) {
      throw session.BridgeFailure("device " + std::to_string(nr) + " refused " + kind + " report " +
                                  std::to_string(reports) + ": it took " + std::to_string(sent) +
                                  " of " + std::to_string(payload.size()) + " bytes");
    }
    // The component reports what the device took of feature reports; of
    // output reports it says nothing, so the tool can only say what it sent.
    c.out.Line((feature ? "device took " : "sent ") + Plural(sent, "byte", "bytes") + " in " +
               what + " (report ID " + std::to_string(id) + ")");

    if (c.args.Has("reply")) {
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
        reply = replies.Wait(Clock::now() + *timeout);
      }
      if (!reply) {
        throw CliError(kExitFailure,
                       feature ? "device " + std::to_string(nr) + " returned no feature report " +
                                     std::to_string(id)
                               : "no reply from device " + std::to_string(nr) + " within " +
                                     std::to_string(timeout->count()) + " ms");
      }
      c.out.Line("reply: " + *reply);
    }
    hid.CloseHidDevice();
  }
  return c.out.Failed() ? kExitFailure : kExitOk;
}

int RunGet(CommandContext& c) {
  if (c.args.positional.size() != 1) throw CliError(kExitUsage, "'get' needs one DEVICE");
  const bool feature = c.args.Has("feature");
  const std::uint8_t id = ReportIdOption(c, std::nullopt);
  Session session(c.bridge);
  TVyHID& hid = session.Hid();
  const int nr = session.SelectDevice(c.args.positional[0]);
  session.Open(nr);
  if (!(feature ? hid.canGetFeature : hid.canGetReport)) {
    throw CliError(kExitFailure, "device " + std::to_string(nr) + " has no " +
                                     (feature ? "feature" : "input") + " reports");
  }
  THIDreport report{};
  report.ReportID = id;
  const std::int32_t got = feature ? hid.GetFeature(report) : hid.GetReport(report);
  // The bridge's reason is asked for before the close, which forgets it.
  std::optional<CliError> failure;
  if (got <= 0) {
    failure =
        session.BridgeFailure("device " + std::to_string(nr) + " returned no " +
                              (feature ? "feature" : "input") + " report " + std::to_string(id));
  }
  hid.CloseHidDevice();
  if (failure) throw *failure;
  c.out.Line(FormatReport(report.ReportID,
                          std::string_view(reinterpret_cast<const char*>(report.Data.Bytes),
                                           std::min<std::size_t>(got, kReportBytes))));
  return c.out.Failed() ? kExitFailure : kExitOk;
}

}  // namespace vyhid
