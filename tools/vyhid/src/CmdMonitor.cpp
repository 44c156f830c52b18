// vyhid monitor: a device's input reports and its comings and goings, as
// they happen, until stopped.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "Error.h"
#include "Hex.h"
#include "Session.h"
#include "vcl/Forms.h"

namespace vyhid {
namespace {

// The bytes of a device's identity: the start of its path, which the
// component also uses to find a device again after a rescan.
std::string Identity(const THIDdeviceInfo& info) {
  return std::string(reinterpret_cast<const char*>(&info), vyhid::kIdentityBytes);
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
  explicit MonitorPrinter(LineWriter& out) : out_(out) {}

  void Attach(Session& session, int nr) {
    session_ = &session;
    known_ = Snapshot();
    watched_ = Identity(session.Hid().HIDinfoArray[static_cast<std::size_t>(nr)].HIDinfo);
    TVyHID& hid = session.Hid();
    hid.OnGetHIDData = TOnGetHIDData(this, &MonitorPrinter::OnGetHIDData);
    hid.OnDevOpen = TOnDevOpen(this, &MonitorPrinter::OnDevOpen);
    hid.OnDevClose = TNotifyEvent(this, &MonitorPrinter::OnDevClose);
    hid.OnAfterDevScan = TOnAfterDevScan(this, &MonitorPrinter::OnAfterDevScan);
  }

 private:
  void Print(std::string_view what, const std::string& text) {
    std::string line = Timestamp() + " " + std::string(what);
    line.resize(std::max<std::size_t>(line.size(), 23), ' ');
    out_.Line(line + text);
  }

  void OnGetHIDData(rtl::TObject*, THIDreport report, std::uint8_t bytesCount) {
    const std::size_t n = std::min<std::size_t>(bytesCount, sizeof report.Data.Bytes);
    Print("input",
          FormatReport(report.ReportID,
                       std::string_view(reinterpret_cast<const char*>(report.Data.Bytes), n)));
  }

  void OnDevOpen(rtl::TObject*, std::int32_t nr, TVyHIDDevInfo) {
    open_ = true;
    openNr_ = nr;
    Print(everOpened_ ? "reconnect" : "open",
          "device " + std::to_string(nr) + ": " + session_->Label(nr));
    everOpened_ = true;
  }

  void OnDevClose(rtl::TObject*) {
    // Every rescan closes the device and fires this, open or not.
    if (!open_) return;
    open_ = false;
    Print("close", "device " + std::to_string(openNr_));
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
      devices.push_back(
          {Identity(session_->Hid().HIDinfoArray[static_cast<std::size_t>(nr)].HIDinfo),
           session_->Label(nr)});
    }
    return devices;
  }

  LineWriter& out_;
  Session* session_ = nullptr;
  std::vector<KnownDevice> known_;
  std::string watched_;
  bool open_ = false;
  bool everOpened_ = false;
  int openNr_ = -1;
};

}  // namespace

void RunUntilStopped(int stopFd) {
  pollfd fds[2] = {{vcl::Application.EventFd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
  const nfds_t count = stopFd >= 0 ? 2 : 1;
  for (;;) {
    vcl::Application.ProcessMessages();
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      throw CliError(kExitFailure, std::string("poll: ") + std::strerror(errno));
    }
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return;
  }
}

int RunMonitor(CommandContext& c) {
  if (!c.args.device) {
    throw CliError(kExitUsage, "'monitor' needs one DEVICE (a number or a text to match)");
  }
  // The printer outlives the component: a late report from a bridge thread
  // may still reach its handler while the component goes away.
  MonitorPrinter printer(c.out);
  {
    Session session(c.bridge);
    const int nr = session.SelectDevice(*c.args.device);
    printer.Attach(session, nr);
    session.Open(nr);
    if (c.err.IsTerminal()) c.err.Line("vyhid: monitoring; press Ctrl-C to stop");
    RunUntilStopped(c.stopFd);
    session.Hid().CloseHidDevice();
  }
  // Only an interrupt ends a monitor.
  return c.out.Failed() ? kExitFailure : kExitInterrupted;
}

}  // namespace vyhid
