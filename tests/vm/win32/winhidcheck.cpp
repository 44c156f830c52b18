// winhidcheck: the Windows application of the wine test in the VM. TVyHID on
// the Windows bridge, under wine, uses the guest's uhid device (uhid-echo)
// through wine's own HID stack (winebus over hidraw, hidclass, hid.dll). It
// runs one scenario, prints what it saw as "@@ " lines for the host to check,
// and drives the device through its control FIFO.
//
//   winhidcheck BRIDGE scenario      listing, input burst, output and
//                                    features, a device that does not answer,
//                                    closes while reports flow, the bridge
//                                    unloaded with the device open, replugs
//   winhidcheck BRIDGE exit-open     the process ended with the device open
//   winhidcheck BRIDGE sendmessage   a handler that hands every report to a
//                                    window with SendMessage while this thread
//                                    closes the device and rescans
// BRIDGE is loaded by path first, so that the component's load by bare name
// gets it. Every wait is bounded; a call that does not return within
// kHangMs is reported as a hang and the process ends.
#include <windows.h>
// after windows.h, which they need
#include <setupapi.h>
extern "C" {  // the HID headers declare no C linkage themselves
#include <hidsdi.h>
}

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VyHID.h"

namespace {

constexpr char kEchoProduct[] = "VyHID uhid echo";
constexpr wchar_t kDeviceControl[] = L"Z:\\run\\uhid-echo.ctl";
constexpr std::uint8_t kEchoId = 1, kOutId = 2, kFeatureId = 3, kLongId = 4;
constexpr int kEchoLen = 64, kLongLen = 200;
constexpr unsigned kBurst = 1000;
// A report every 20 ms (50 a second): wine's HID stack under the emulator
// keeps up with that once its ring of input reports is large.
constexpr unsigned kBurstIntervalMs = 20;
constexpr unsigned kSendBytes = 10 * 1024;
constexpr int kReplugs = 20;
constexpr DWORD kHangMs = 20000;
constexpr UINT kHandOver = WM_APP + 1;

void Say(const char* fmt, ...) {
  char line[2048] = "@@ ";
  va_list ap;
  va_start(ap, fmt);
  int n = 3 + std::vsnprintf(line + 3, sizeof line - 5, fmt, ap);
  va_end(ap);
  if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
  line[n++] = '\n';
  DWORD written = 0;  // one write a line: lines from the bridge's thread never tear
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
}

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string Hex(const std::uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

std::string Quote(const TShortString& s) {
  std::string q = "\"";
  for (unsigned char c : ReadShortString(s)) {
    if (c == '"' || c == '\\') q.push_back('\\');
    q.push_back(static_cast<char>(c));
  }
  return q + "\"";
}

// One line to the device's control FIFO (wine maps Z: to the root).
void Device(const char* command) {
  HANDLE h = ::CreateFileW(kDeviceControl, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Say("ERROR CreateFileW Z:\\run\\uhid-echo.ctl: error %lu", ::GetLastError());
    return;
  }
  std::string line = std::string(command) + "\n";
  DWORD written = 0;
  if (!::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
    Say("ERROR WriteFile Z:\\run\\uhid-echo.ctl: error %lu", ::GetLastError());
  ::CloseHandle(h);
}

// Ends the process when a call has not returned in kHangMs: a hang is a
// finding, and the host must not wait for the whole run's deadline.
class Watchdog {
 public:
  Watchdog() : armed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    thread_ = std::thread([this] {
      for (;;) {
        ::WaitForSingleObject(armed_, INFINITE);
        if (stop_) return;
        if (::WaitForSingleObject(armed_, kHangMs) == WAIT_TIMEOUT) {
          Say("HANG %s did not return in %lu ms", what_.c_str(), kHangMs);
          ::TerminateProcess(::GetCurrentProcess(), 3);
        }
        if (stop_) return;
      }
    });
  }
  ~Watchdog() {
    stop_ = true;
    ::SetEvent(armed_);
    thread_.join();
    ::CloseHandle(armed_);
  }
  // Runs call under the watchdog; its time in milliseconds.
  double Time(const std::string& what, const std::function<void()>& call) {
    what_ = what;
    ::SetEvent(armed_);
    const double t0 = NowMs();
    call();
    const double ms = NowMs() - t0;
    ::SetEvent(armed_);
    return ms;
  }

 private:
  HANDLE armed_;
  std::atomic<bool> stop_{false};
  std::string what_;
  std::thread thread_;
};

struct Piece {
  std::uint8_t id;
  std::uint8_t n;
  std::uint32_t seq;
};

class Check {
 public:
  explicit Check(TVyHID& hid)
      : hid_(hid), progress_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    hid_.OnDevOpen = TOnDevOpen(this, &Check::DevOpen);
    hid_.OnDevClose = TNotifyEvent(this, &Check::DevClose);
    hid_.OnAfterDevScan = TOnAfterDevScan(this, &Check::AfterDevScan);
    hid_.OnGetHIDData = TOnGetHIDData(this, &Check::GetHIDData);
  }
  ~Check() {
    ::CloseHandle(progress_);
    ::CloseHandle(handing_over);
  }

  // Dispatches the thread's messages until done() holds or timeout_ms pass;
  // whether it held. Handlers signal progress_ whenever something happened.
  bool PumpUntil(const std::function<bool()>& done, DWORD timeout_ms) {
    const double end = NowMs() + timeout_ms;
    for (;;) {
      vcl::Application.ProcessMessages();
      if (done()) return true;
      const double left = end - NowMs();
      if (left <= 0) return false;
      ::MsgWaitForMultipleObjects(1, &progress_, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
    }
  }

  bool OpenEcho() {
    for (std::int32_t i = 0; i < hid_.DevCount && i < 32; ++i) {
      if (ReadShortString(hid_.HIDinfoArray[static_cast<size_t>(i)].HIDinfo.ProductString) ==
          kEchoProduct) {
        hid_.CurrentDevNr = i;
        hid_.Active = true;
        return hid_.Active;
      }
    }
    Say("ERROR no device with product \"%s\"", kEchoProduct);
    return false;
  }

  void StartCollecting() {
    std::lock_guard<std::mutex> lock(mutex_);
    pieces_.clear();
    pieces_.reserve(kBurst * 2);
  }
  std::vector<Piece> Collected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pieces_;
  }
  size_t CollectedCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pieces_.size();
  }

  std::atomic<int> opens{0}, closes{0}, scans{0};
  // When set, the next report closes the device from inside OnGetHIDData.
  std::atomic<bool> close_in_handler{false};
  std::atomic<HWND> hand_over{nullptr};
  // When set, the next report handed over signals handing_over first.
  std::atomic<bool> announce_hand_over{false};
  HANDLE handing_over = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<bool> closed{false};  // a close has returned
  std::atomic<unsigned> after_close{0};

 private:
  void DevOpen(rtl::TObject*, std::int32_t DevNr, TVyHIDDevInfo) {
    Say("EV OPEN nr=%d t=%.1f", DevNr, NowMs());
    ++opens;
    ::SetEvent(progress_);
  }
  void DevClose(rtl::TObject*) {
    Say("EV CLOSE t=%.1f", NowMs());
    ++closes;
    ::SetEvent(progress_);
  }
  void AfterDevScan(rtl::TObject*, std::int32_t DevCount, THIDinfoArray& slots) {
    ++scans;
    for (std::int32_t i = 0; i < DevCount && i < static_cast<std::int32_t>(slots.size()); ++i) {
      const TVyHIDDevInfo& slot = slots[static_cast<size_t>(i)];
      const THIDdeviceInfo& d = slot.HIDinfo;
      Say("DEV %d vid=%04X pid=%04X ver=%04X out=%u in=%u feat=%u rw=%d manufacturer=%s "
          "product=%s serial=%s outid=%d outbytes=%d inid=%d inbytes=%d featid=%d featbytes=%d",
          i, d.VID, d.PID, d.VersionNumber, d.OutputBufferSize, d.InputBufferSize,
          d.FeatureBufferSize, d.HasReadWriteAccess ? 1 : 0, Quote(d.ManufacturerString).c_str(),
          Quote(d.ProductString).c_str(), Quote(d.SerialNumberString).c_str(),
          slot.VyHIDinfo.ReportOutID, slot.VyHIDinfo.ReportOutBytes, slot.VyHIDinfo.ReportInID,
          slot.VyHIDinfo.ReportInBytes, slot.VyHIDinfo.FeatureID, slot.VyHIDinfo.FeatureBytes);
    }
    Say("EV SCANEND count=%d", DevCount);
    ::SetEvent(progress_);
  }
  // On the bridge's thread.
  void GetHIDData(rtl::TObject*, THIDreport Report, std::uint8_t BytesCount) {
    if (closed) ++after_close;
    Piece piece{Report.ReportID, BytesCount, 0};
    std::memcpy(&piece.seq, Report.Data.Bytes, sizeof piece.seq);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pieces_.push_back(piece);
    }
    if (HWND window = hand_over.load()) {
      if (announce_hand_over.exchange(false)) ::SetEvent(handing_over);
      ::SendMessageW(window, kHandOver, Report.ReportID, BytesCount);
    }
    if (close_in_handler.exchange(false)) {
      hid_.CloseHidDevice();
      Say("CLOSED-IN-HANDLER active=%d", int(hid_.Active));
    }
    ::SetEvent(progress_);
  }

  TVyHID& hid_;
  HANDLE progress_;
  std::mutex mutex_;
  std::vector<Piece> pieces_;
};

// A burst's reports as they arrived: a piece whose first four bytes are not
// the device's fill starts a report (its sequence number); the pieces after
// it with the same ID continue it. Each report 1 should come as one piece of
// 64 bytes, each report 4 as 200 bytes in pieces (64, 64, 64, 8), every
// sequence number once and in order.
void CompareBurst(const std::vector<Piece>& got, unsigned count) {
  constexpr std::uint32_t kContinued = 0xeeeeeeee;  // uhid-echo's fill
  std::vector<std::pair<Piece, int>> reports;       // first piece, total length
  for (const Piece& p : got) {
    if (p.seq == kContinued && !reports.empty() && reports.back().first.id == p.id)
      reports.back().second += p.n;
    else
      reports.push_back({p, p.n});
  }
  unsigned in_order = 0, wrong_length = 0;
  std::int64_t last = -1;
  std::string lengths;
  for (const auto& [first, length] : reports) {
    if (static_cast<std::int64_t>(first.seq) > last) ++in_order;
    last = first.seq;
    const int want = first.id == kLongId ? kLongLen : kEchoLen;
    if (length != want) {
      if (wrong_length++ == 0)
        lengths = "id " + std::to_string(first.id) + ": " + std::to_string(length) + " of " +
                  std::to_string(want);
    }
  }
  Say("BURST sent=%u pieces=%zu reports=%zu in_order=%u wrong_length=%u first_wrong=\"%s\"", count,
      got.size(), reports.size(), in_order, wrong_length, lengths.c_str());
}

// What the system lists as HID interfaces, and whether each opens: when the
// component does not find a device, this tells whether wine lists it.
void SayHidInterfaces() {
  GUID hid;
  ::HidD_GetHidGuid(&hid);
  HDEVINFO set =
      ::SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    Say("ERROR SetupDiGetClassDevsW: error %lu", ::GetLastError());
    return;
  }
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &iface); ++i) {
    std::vector<BYTE> storage(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 2048);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof *detail;
    if (!::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, 2048, nullptr, nullptr)) continue;
    HANDLE h =
        ::CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    Say("HID-INTERFACE %lu path=%s open_error=%lu", i,
        rtl::StringToUtf8(rtl::String(reinterpret_cast<const char16_t*>(detail->DevicePath)))
            .c_str(),
        error);
  }
  ::SetupDiDestroyDeviceInfoList(set);
}

int Scenario(Watchdog& watchdog) {
  auto hid = std::make_unique<TVyHID>(nullptr);
  Check check(*hid);
  // Listing: the records as the Windows bridge gives them.
  hid->ScanForHIDdevices();
  if (!check.OpenEcho()) return 1;
  Say("OPENED canSetReport=%d canGetReport=%d canSetFeature=%d canGetFeature=%d HaveID=%d",
      int(hid->canSetReport), int(hid->canGetReport), int(hid->canSetFeature),
      int(hid->canGetFeature), int(hid->HaveID));

  // Input: a burst, every report in order and with its own length.
  check.StartCollecting();
  const size_t want_pieces = kBurst / 4 * 3 + kBurst / 4 * 4;
  Device(("burst " + std::to_string(kBurst) + " " + std::to_string(kBurstIntervalMs)).c_str());
  // Until every piece is in, or 5 s pass without one (the rest was dropped).
  for (size_t seen = 0;
       !check.PumpUntil([&] { return check.CollectedCount() >= want_pieces; }, 5000) &&
       check.CollectedCount() != seen;)
    seen = check.CollectedCount();
  CompareBurst(check.Collected(), kBurst);

  // Output: 10 KiB through SetReport, in output reports of 64 bytes.
  rtl::RawByteString bytes(kSendBytes, '\0');
  for (unsigned i = 0; i < kSendBytes; ++i) bytes[i] = static_cast<char>((i * 7 + 1) & 0xff);
  Device("verbose 1");
  std::int32_t rc = 0;
  double ms = watchdog.Time("SetReport", [&] { rc = hid->SetReport(kOutId, bytes); });
  Say("SENT rc=%d len=%u ms=%.0f", rc, kSendBytes, ms);
  Device("verbose 0");
  Device("stats");

  // Features, and an input report fetched.
  rtl::RawByteString feature(kEchoLen, '\0');
  for (int i = 0; i < kEchoLen; ++i) feature[static_cast<size_t>(i)] = static_cast<char>(0x40 + i);
  rc = hid->SetFeature(kFeatureId, feature);
  THIDreport got{};
  got.ReportID = kFeatureId;
  std::int32_t grc = hid->GetFeature(got);
  Say("FEATURE set_rc=%d get_rc=%d id=%u data=%s", rc, grc, got.ReportID,
      Hex(got.Data.Bytes, kEchoLen).c_str());
  THIDreport in{};
  in.ReportID = kEchoId;
  grc = hid->GetReport(in);
  Say("GETIN rc=%d id=%u data=%s", grc, in.ReportID, Hex(in.Data.Bytes, kEchoLen).c_str());

  // A close from inside OnGetHIDData, then one while reports stream; after
  // either returns, no report may come.
  check.close_in_handler = true;
  Device("burst 50");
  check.PumpUntil([&] { return !hid->Active; }, 10000);
  check.closed = true;
  check.PumpUntil([] { return false; }, 300);
  Say("CLOSE-IN-HANDLER active=%d after_close=%u", int(hid->Active), check.after_close.load());
  check.closed = false;
  check.after_close = 0;
  if (!check.OpenEcho()) return 1;
  check.StartCollecting();
  Device("burst 400");
  check.PumpUntil([&] { return check.CollectedCount() >= 50; }, 10000);
  ms = watchdog.Time("CloseHidDevice while streaming", [&] { hid->CloseHidDevice(); });
  check.closed = true;
  check.PumpUntil([] { return false; }, 500);
  Say("CLOSE-STREAMING ms=%.0f before=%zu after_close=%u", ms, check.CollectedCount(),
      check.after_close.load());

  // The bridge unloaded (the component destroyed) with the device open and
  // reports flowing.
  check.closed = false;
  if (!check.OpenEcho()) return 1;
  Device("burst 400");
  check.PumpUntil([&] { return check.CollectedCount() >= 50; }, 10000);
  ms = watchdog.Time("destroying the component", [&] { hid.reset(); });
  Say("UNLOADED ms=%.0f", ms);

  hid = std::make_unique<TVyHID>(nullptr);
  Check after(*hid);
  hid->ScanForHIDdevices();
  if (!after.OpenEcho()) return 1;
  // A device that does not answer: each request ends, and the thread with it.
  Device("mute 1");
  ms = watchdog.Time("GetFeature (unanswered)", [&] { grc = hid->GetFeature(got); });
  Say("UNANSWERED call=GetFeature rc=%d ms=%.0f", grc, ms);
  ms = watchdog.Time("SetFeature (unanswered)", [&] { rc = hid->SetFeature(kFeatureId, feature); });
  Say("UNANSWERED call=SetFeature rc=%d ms=%.0f", rc, ms);
  ms = watchdog.Time("GetReport (unanswered)", [&] { grc = hid->GetReport(in); });
  Say("UNANSWERED call=GetReport rc=%d ms=%.0f", grc, ms);
  Device("mute 0");

  // Replugs of the open device: AutoConnect reopens it and reports flow.
  hid->AutoConnect = true;
  int reconnected = 0, failed_in_a_row = 0;
  // Two replugs in a row that do not bring the device back end the loop:
  // the rest would only repeat them.
  for (int i = 0; i < kReplugs && failed_in_a_row < 2; ++i) {
    const int opens = after.opens, scans = after.scans;
    Device("destroy");
    const bool heard = after.PumpUntil([&] { return !hid->Active && after.scans > scans; }, 20000);
    const int scans_before_create = after.scans;
    Device("create");
    bool opened = after.PumpUntil([&] { return after.opens > opens; }, 10000);
    const int scans_after_create = after.scans - scans_before_create;
    // Not reopened: whether a rescan of our own finds it tells a missed
    // notification from a device that is not there.
    bool opened_by_rescan = false;
    if (!opened) {
      SayHidInterfaces();
      hid->ScanForHIDdevices();
      opened_by_rescan = after.PumpUntil([&] { return after.opens > opens; }, 2000);
    }
    after.StartCollecting();
    bool flows = false;
    if (opened || opened_by_rescan) {
      rtl::RawByteString ping(kEchoLen, static_cast<char>(i));
      hid->SetReport(kOutId, ping);
      flows = after.PumpUntil([&] { return after.CollectedCount() > 0; }, 10000);
    }
    if (heard && opened && flows) {
      ++reconnected;
      failed_in_a_row = 0;
    } else {
      ++failed_in_a_row;
    }
    Say("REPLUG %d heard=%d opened=%d scans_after_create=%d opened_by_rescan=%d flows=%d", i + 1,
        int(heard), int(opened), scans_after_create, int(opened_by_rescan), int(flows));
  }
  Say("REPLUGS reconnected=%d of=%d", reconnected, kReplugs);

  return 0;
}

// The process ends with the device open and reports flowing, destroying
// nothing: the bridge's detach runs at the exit.
int ExitOpen() {
  TVyHID hid(nullptr);
  Check check(hid);
  hid.ScanForHIDdevices();
  if (!check.OpenEcho()) return 1;
  check.StartCollecting();
  Device("burst 400");
  check.PumpUntil([&] { return check.CollectedCount() >= 50; }, 10000);
  Say("EXITING open=%d t=%.1f", int(hid.Active), NowMs());
  std::exit(0);
}

// A window of this thread that receives every report by SendMessage.
LRESULT CALLBACK HandOverProc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
  return msg == kHandOver ? 1 : ::DefWindowProcW(window, msg, wparam, lparam);
}

int SendMessageCase(Watchdog& watchdog) {
  WNDCLASSW cls{};
  cls.lpfnWndProc = HandOverProc;
  cls.hInstance = ::GetModuleHandleW(nullptr);
  cls.lpszClassName = L"winhidcheck.HandOver";
  ::RegisterClassW(&cls);
  HWND window = ::CreateWindowExW(0, cls.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  cls.hInstance, nullptr);
  if (!window) {
    Say("ERROR CreateWindowExW: error %lu", ::GetLastError());
    return 1;
  }
  TVyHID hid(nullptr);
  Check check(hid);
  check.hand_over = window;
  hid.ScanForHIDdevices();
  for (const char* step : {"close", "rescan"}) {
    if (!check.OpenEcho()) return 1;
    // The reader is inside the handler, sending to this thread's window,
    // when this thread closes or rescans: it waits for the first report
    // without dispatching sent messages, so that send stays pending.
    check.StartCollecting();
    check.announce_hand_over = true;
    Device("burst 400");
    if (::WaitForSingleObject(check.handing_over, 10000) != WAIT_OBJECT_0)
      Say("ERROR no report was handed over in 10 s");
    const double ms = watchdog.Time(std::string("SendMessage handler, ") + step, [&] {
      if (std::strcmp(step, "close") == 0)
        hid.CloseHidDevice();
      else
        hid.ScanForHIDdevices();
    });
    Say("SENDMESSAGE step=%s ms=%.0f delivered=%zu", step, ms, check.CollectedCount());
    hid.CloseHidDevice();
  }
  ::DestroyWindow(window);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: winhidcheck BRIDGE scenario|sendmessage|exit-open\n");
    return 2;
  }
  if (!rtl::LoadLibraryW(rtl::Utf8ToString(argv[1]))) {
    Say("ERROR LoadLibraryW %s: error %lu", argv[1], ::GetLastError());
    return 1;
  }
  Say("WINAPP START mode=%s t=%.1f", argv[2], NowMs());
  Watchdog watchdog;
  const std::string mode = argv[2];
  const int rc = mode == "sendmessage" ? SendMessageCase(watchdog)
                 : mode == "exit-open" ? ExitOpen()
                                       : Scenario(watchdog);
  Say("WINAPP END rc=%d", rc);
  return rc;
}
