// vyhid monitor: a device's input reports and its comings and goings, as
// they happen, until stopped.

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Assembler.h"
#include "Commands.h"
#include "DeviceDescriptor.h"
#include "Error.h"
#include "Hex.h"
#include "Session.h"
#include "descriptor/ReportText.h"
#include "descriptor/UsageNames.h"
#include "vcl/Forms.h"

namespace vyhid {
namespace {

namespace desc = vyhid::descriptor;

// How input reports are shown: hex, or decoded through the device's
// descriptor, as text or as JSON.
struct MonitorFormat {
  bool decode = false;
  bool json = false;
  std::optional<desc::ReportDescriptor> descriptor;  // set when decoding
  // Each input report's declared length (0: not known), so that a report
  // longer than one 64-byte piece shows which piece each hex line is.
  std::array<std::uint32_t, 256> input_bytes{};
};

// A decoded value as JSON: {"usage": "X", "value": -3}, with "physical" when
// the field has a physical range, "null": true in the null state; an active
// usage of an array field (a key held) {"usage": "A", "active": true}.
nlohmann::ordered_json ValueJson(const desc::Value& value) {
  nlohmann::ordered_json j = {{"usage", desc::UsageName(value.usage)}};
  if (value.is_array) {
    j["active"] = true;
  } else if (value.is_null) {
    j["null"] = true;
  } else {
    j["value"] = value.logical;
    if (value.physical) j["physical"] = *value.physical;
  }
  return j;
}

struct KnownDevice {
  std::string identity;
  std::string label;
};

// The component's event handlers for one monitored device. Input reports
// come on the bridge's thread and touch only the writer; everything else runs
// on the component's thread.
class MonitorPrinter {
 public:
  MonitorPrinter(LineWriter& out, MonitorFormat format) : out_(out), format_(std::move(format)) {
    if (format_.descriptor) {
      assembler_ = std::make_unique<ReportAssembler>(
          *format_.descriptor, [this](std::string_view bytes) { PrintDecoded(bytes); });
    }
  }

  void Attach(Session& session, int nr) {
    session_ = &session;
    known_ = Snapshot();
    watched_ = std::string(IdentityOf(session.Slot(nr).HIDinfo));
    TVyHID& hid = session.Hid();
    hid.OnGetHIDData = TOnGetHIDData(this, &MonitorPrinter::OnGetHIDData);
    hid.OnDevOpen = TOnDevOpen(this, &MonitorPrinter::OnDevOpen);
    hid.OnDevClose = TNotifyEvent(this, &MonitorPrinter::OnDevClose);
    hid.OnAfterDevScan = TOnAfterDevScan(this, &MonitorPrinter::OnAfterDevScan);
  }

  // Prints a report still in progress, as far as it came, and the input
  // lines of a device whose open never showed.
  void Flush() {
    {
      std::lock_guard lock(input_mutex_);
      if (assembler_) assembler_->Flush();
    }
    std::lock_guard lock(order_mutex_);
    for (const std::string& line : held_) out_.Line(line);
    held_.clear();
  }

 private:
  // An event's line; with `nr`, the device's number and IDs in JSON.
  std::string EventLine(std::string_view what, const std::string& text, int nr = -1) const {
    if (format_.json) {
      nlohmann::ordered_json j = {{"time", Timestamp()}, {"event", what}};
      if (nr >= 0) {
        const TVyHIDdeviceInfo& info = session_->Slot(nr).VyHIDinfo;
        j["device"] = nr;
        j["VID"] = +info.VID;
        j["PID"] = +info.PID;
        j["IDs"] = IdsText(info);
      }
      j["text"] = text;
      return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    }
    std::string line = Timestamp() + " " + std::string(what);
    line.resize(std::max<std::size_t>(line.size(), 23), ' ');
    return line + text;
  }
  void Print(std::string_view what, const std::string& text) { out_.Line(EventLine(what, text)); }

  // An input report's line. The bridge delivers reports as soon as the device
  // is open, which may be before OnDevOpen runs: a line that comes before the
  // open line waits for it.
  void PrintInput(std::string line) {
    std::lock_guard lock(order_mutex_);
    if (open_) {
      out_.Line(line);
    } else {
      held_.push_back(std::move(line));
    }
  }

  void OnGetHIDData(rtl::TObject*, THIDreport report, std::uint8_t bytes_count) {
    std::lock_guard lock(input_mutex_);
    if (assembler_) {
      assembler_->Add(report, bytes_count);
      return;
    }
    const std::string_view bytes = PayloadOf(report, bytes_count);
    const std::size_t n = bytes.size();
    if (format_.json) {
      PrintInput(nlohmann::ordered_json{{"time", Timestamp()},
                                        {"event", "input"},
                                        {"id", report.ReportID},
                                        {"bytes", FormatHex(bytes)}}
                     .dump());
      return;
    }
    // A report longer than 64 bytes comes in pieces of the same ID: say
    // which part of the whole each piece is.
    const std::uint32_t total = format_.input_bytes[report.ReportID];
    if (piece_offset_ > 0 && (report.ReportID != piece_id_ || piece_offset_ >= total)) {
      piece_offset_ = 0;
    }
    piece_id_ = report.ReportID;
    if (total <= vyhid::kPayloadBytes || n > total - piece_offset_) {
      piece_offset_ = 0;
      PrintInput(EventLine("input", FormatReport(report.ReportID, bytes)));
      return;
    }
    PrintInput(EventLine("input", FormatReportPiece(report.ReportID, piece_offset_, bytes, total)));
    piece_offset_ = n < vyhid::kPayloadBytes ? 0 : piece_offset_ + n;
  }

  // One whole report, as the device sent it, decoded on one line; a report
  // the descriptor does not declare in hex.
  void PrintDecoded(std::string_view bytes) {
    const std::span<const std::uint8_t> raw(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            bytes.size());
    const desc::DecodedReport decoded =
        desc::Decode(*format_.descriptor, vyhid::ReportKind::kInput, raw);
    const bool numbered = format_.descriptor->uses_report_ids && !bytes.empty();
    const unsigned id = numbered ? raw[0] : 0;
    const std::string_view payload = numbered ? bytes.substr(1) : bytes;
    if (format_.json) {
      nlohmann::ordered_json line = {
          {"time", Timestamp()}, {"event", "input"}, {"id", id}, {"bytes", FormatHex(payload)}};
      if (decoded.report != nullptr) {
        nlohmann::ordered_json values = nlohmann::ordered_json::array();
        for (const desc::Value& value : decoded.values) values.push_back(ValueJson(value));
        line["values"] = std::move(values);
      }
      PrintInput(line.dump());
      return;
    }
    PrintInput(EventLine(
        "input", decoded.report == nullptr
                     ? FormatReport(id, payload) + " (a report the descriptor does not declare)"
                     : "id " + std::to_string(id) + ": " + desc::FormatValues(decoded)));
  }

  void OnDevOpen(rtl::TObject*, std::int32_t nr, TVyHIDDevInfo) {
    std::lock_guard lock(order_mutex_);
    open_ = true;
    open_nr_ = nr;
    out_.Line(EventLine(ever_opened_ ? "reconnect" : "open",
                        "device " + std::to_string(nr) + ": " + session_->Label(nr), nr));
    ever_opened_ = true;
    for (const std::string& line : held_) out_.Line(line);
    held_.clear();
  }

  void OnDevClose(rtl::TObject*) {
    // Every rescan closes the device and fires this, open or not.
    std::lock_guard lock(order_mutex_);
    if (!open_) return;
    open_ = false;
    Print("close", "device " + std::to_string(open_nr_));
  }

  void OnAfterDevScan(rtl::TObject*, std::int32_t, THIDinfoArray&) {
    std::vector<KnownDevice> now = Snapshot();
    std::vector<bool> matched(now.size(), false);
    // Devices gone: in the old list and not in the new one.
    for (const KnownDevice& before : known_) {
      bool found = false;
      for (std::size_t i = 0; i < now.size() && !found; ++i) {
        if (!matched[i] && now[i].identity == before.identity) found = matched[i] = true;
      }
      if (!found) {
        Print("remove",
              before.label + (before.identity == watched_ ? " (the monitored device)" : ""));
      }
    }
    for (std::size_t i = 0; i < now.size(); ++i) {
      if (!matched[i]) {
        Print("attach",
              now[i].label + (now[i].identity == watched_ ? " (the monitored device)" : ""));
      }
    }
    known_ = std::move(now);
  }

  std::vector<KnownDevice> Snapshot() const {
    std::vector<KnownDevice> devices;
    devices.reserve(static_cast<std::size_t>(std::max(session_->DeviceCount(), 0)));
    for (int nr = 0; nr < session_->DeviceCount(); ++nr) {
      devices.push_back({std::string(IdentityOf(session_->Slot(nr).HIDinfo)), session_->Label(nr)});
    }
    return devices;
  }

  LineWriter& out_;
  const MonitorFormat format_;
  std::mutex input_mutex_;  // the bridge's thread, and the flush at the end
  std::unique_ptr<ReportAssembler> assembler_;
  std::uint8_t piece_id_ = 0;       // the report whose pieces are coming
  std::uint32_t piece_offset_ = 0;  // where its next piece starts
  Session* session_ = nullptr;
  std::vector<KnownDevice> known_;
  std::string watched_;
  std::mutex order_mutex_;  // the open line before the input lines: what follows
  bool open_ = false;
  std::vector<std::string> held_;  // input lines that came before the open line
  bool ever_opened_ = false;
  int open_nr_ = -1;
};

}  // namespace

int RunMonitor(CommandContext& c) {
  // The printer outlives the component: a late report from a bridge thread
  // may still reach its handler while the component goes away.
  std::unique_ptr<MonitorPrinter> printer;
  {
    Session session(c.bridge);
    const int nr = session.SelectDevice(c.args.device);
    MonitorFormat format{c.args.decode || c.args.json, c.args.json, std::nullopt, {}};
    std::string why;
    std::optional<desc::ReportDescriptor> descriptor = DescriptorOf(session, nr, &why);
    if (format.decode && !descriptor) {
      c.err.Line("vyhid: device " + std::to_string(nr) + " cannot be decoded: " + why +
                 "; its reports are shown in hex");
    }
    const THIDdeviceInfo& record = session.Slot(nr).HIDinfo;
    for (std::size_t id = 0; id < format.input_bytes.size(); ++id) {
      format.input_bytes[id] = DeclaredReportBytes(descriptor, record, vyhid::ReportKind::kInput,
                                                   static_cast<std::uint8_t>(id))
                                   .value_or(0);
    }
    if (format.decode) format.descriptor = std::move(descriptor);
    printer = std::make_unique<MonitorPrinter>(c.out, std::move(format));
    printer->Attach(session, nr);
    session.Open(nr);
    if (c.err.IsTerminal()) c.err.Line("vyhid: monitoring; press Ctrl-C to stop");
    RunUntilStopped(c.stop_fd);
    session.Hid().CloseHidDevice();
  }
  printer->Flush();
  // Only an interrupt ends a monitor.
  return c.out.Failed() ? kExitFailure : kExitInterrupted;
}

}  // namespace vyhid
