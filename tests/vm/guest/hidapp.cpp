// hidapp: the application the end-to-end tests drive, a plain client of
// TVyHID on the hidraw bridge.
//
// It loads the bridge by path (so that the component's load by bare name
// finds it), creates one TVyHID, then reads commands from standard input, one
// a line, while the component's message loop keeps running: it polls standard
// input and the loop's event descriptor together. Every result and every
// event is printed as one line starting with "@@ ", written with a single
// write() so that lines from the bridge's thread never tear.
//
// Commands:
//   ping TOKEN               -> PONG TOKEN
//   scan                     ScanForHIDdevices -> SCANNED rc=..
//   open N | openp PRODUCT   CurrentDevNr := N (or the first slot with that
//                            product name); Active := true -> OPENED ...
//   close                    CloseHidDevice -> CLOSED ...
//   autoconnect 0|1          -> OK
//   state                    -> STATE ...
//   send ID HEX              SetReport(ID, bytes) -> SENT rc=..
//   sendpat ID LEN SEED      SetReport with LEN bytes (SEED + i) & 0xff
//   setfeat ID HEX           SetFeature -> SETFEAT rc=..
//   getfeat ID | getin ID    GetFeature / GetReport -> GETFEAT / GETIN rc=.. data
//   quiet 0|1                print input reports, or only count them
//   stats                    -> STATS inputs=.. bytes=..
//   dev TEXT                 write TEXT to the uhid device's control FIFO
//   spawn PROGRAM ARGS...    run another program (another client of the
//                            stack, such as the command-line tool); its
//                            output comes back as TOOL and TOOLERR lines,
//                            its end as TOOL-EXIT
//   interrupt                send SIGINT to that program
//   bridgeinfo N             the bridge's own record of device N (not the
//                            component's copy) -> BRIDGEINFO rw=..: after
//                            a reconnection, how the bridge opened it
//   watchnodes               report the hidraw nodes of /dev as they are
//                            created, given permissions and removed: NODE
//                            lines, stamped on a thread of their own
//   quit                     -> BYE, then the component is destroyed
// Events: EV OPEN, EV CLOSE, EV SCAN (followed by DEV and DESC lines and
// EV SCANEND), IN (input reports, on the bridge's thread). EV OPEN and NODE
// carry t=, milliseconds of the monotonic clock, so that the host can tell
// how long after a node's creation the device was opened.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "VyHID.h"
#include "rtl/DynLib.h"
#include "vcl/Forms.h"

namespace {

constexpr const char* kDefaultBridge = "/opt/vyhid/lib/HID_Bridge__.dll";
constexpr const char* kDeviceControl = "/run/uhid-echo.ctl";

void WriteLine(std::string line) {
  line.insert(0, "@@ ");
  line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDOUT_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

[[gnu::format(printf, 1, 2)]] void Say(const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  WriteLine(buf);
}

// Milliseconds of the monotonic clock, the same in every process of the guest.
double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reports what happens to the hidraw nodes of /dev, each event stamped as
// soon as it is read: a thread of its own, so that a busy message loop does
// not delay the stamps.
class NodeWatch {
 public:
  NodeWatch() = default;
  NodeWatch(const NodeWatch&) = delete;
  NodeWatch& operator=(const NodeWatch&) = delete;
  ~NodeWatch() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = write(stop_, &one, sizeof one);
      thread_.join();
    }
    if (stop_ >= 0) close(stop_);
    if (inotify_ >= 0) close(inotify_);
  }

  // Returns false, the reason said, when /dev cannot be watched.
  bool Start() {
    if (inotify_ >= 0) return thread_.joinable();  // started, or failed for good
    inotify_ = inotify_init1(IN_CLOEXEC);
    if (inotify_ < 0) return Fail("inotify_init1");
    if (inotify_add_watch(inotify_, "/dev", IN_CREATE | IN_ATTRIB | IN_DELETE) < 0)
      return Fail("inotify_add_watch(/dev)");
    stop_ = eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0) return Fail("eventfd");
    thread_ = std::thread(&NodeWatch::Run, this);
    return true;
  }

 private:
  bool Fail(const char* call) {
    Say("ERROR %s: %s", call, strerror(errno));
    return false;
  }

  void Run() const {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
      if (!(fds[0].revents & POLLIN)) continue;
      const ssize_t n = read(inotify_, buf, sizeof buf);
      const double t = NowMs();
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->len == 0 || std::strncmp(ev->name, "hidraw", 6) != 0) continue;
        const char* what = (ev->mask & IN_CREATE)   ? "create"
                           : (ev->mask & IN_DELETE) ? "delete"
                                                    : "attrib";
        Say("NODE %s %s t=%.1f", what, ev->name, t);
      }
    }
  }

  int inotify_ = -1;
  int stop_ = -1;
  std::thread thread_;
};

std::string Hex(const std::uint8_t* p, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(kDigits[p[i] >> 4]);
    s.push_back(kDigits[p[i] & 15]);
  }
  return s;
}

// Quoted, with quotes, backslashes and control bytes escaped.
std::string Quote(std::string_view s) {
  std::string q = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      q.push_back('\\');
      q.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      q += esc;
    } else {
      q.push_back(static_cast<char>(c));
    }
  }
  q.push_back('"');
  return q;
}

std::string Quote(const TShortString& s) {
  return Quote(ReadShortString(s));
}

bool ParseHex(std::string_view text, rtl::RawByteString& out) {
  out.clear();
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned v = 0;
    for (size_t k = 0; k < 2; ++k) {
      char c = text[i + k];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
    }
    out.push_back(static_cast<char>(v));
  }
  return true;
}

class App {
 public:
  explicit App(rtl::HMODULE bridge) : bridge_(bridge), hid_(nullptr) {
    hid_.OnDevOpen = TOnDevOpen(this, &App::DevOpen);
    hid_.OnDevClose = TNotifyEvent(this, &App::DevClose);
    hid_.OnAfterDevScan = TOnAfterDevScan(this, &App::AfterDevScan);
    hid_.OnGetHIDData = TOnGetHIDData(this, &App::GetHIDData);
  }

  // Runs until "quit" or the end of standard input; returns the exit status.
  int Run();

 private:
  void DevOpen(rtl::TObject*, std::int32_t DevNr, TVyHIDDevInfo DevInfo) {
    const double t = NowMs();
    Say("EV OPEN nr=%d active=%d rw=%d t=%.1f product=%s serial=%s", DevNr, int(hid_.Active),
        DevInfo.HIDinfo.HasReadWriteAccess != 0 ? 1 : 0, t,
        Quote(DevInfo.HIDinfo.ProductString).c_str(),
        Quote(DevInfo.HIDinfo.SerialNumberString).c_str());
  }

  void DevClose(rtl::TObject*) {
    Say("EV CLOSE active=%d canSetReport=%d canGetReport=%d", int(hid_.Active),
        int(hid_.canSetReport), int(hid_.canGetReport));
  }

  void AfterDevScan(rtl::TObject*, std::int32_t DevCount, THIDinfoArray& slots) {
    Say("EV SCAN count=%d", DevCount);
    for (std::int32_t i = 0; i < DevCount && i < static_cast<std::int32_t>(slots.size()); ++i) {
      const TVyHIDDevInfo& slot = slots[static_cast<size_t>(i)];
      const THIDdeviceInfo& d = slot.HIDinfo;
      Say("DEV %d vid=%04X pid=%04X ver=%04X out=%u in=%u feat=%u rw=%d manufacturer=%s "
          "product=%s serial=%s outid=%d outbytes=%d inid=%d inbytes=%d featid=%d featbytes=%d "
          "id=%s",
          i, d.VID, d.PID, d.VersionNumber, d.OutputBufferSize, d.InputBufferSize,
          d.FeatureBufferSize, d.HasReadWriteAccess ? 1 : 0, Quote(d.ManufacturerString).c_str(),
          Quote(d.ProductString).c_str(), Quote(d.SerialNumberString).c_str(),
          slot.VyHIDinfo.ReportOutID, slot.VyHIDinfo.ReportOutBytes, slot.VyHIDinfo.ReportInID,
          slot.VyHIDinfo.ReportInBytes, slot.VyHIDinfo.FeatureID, slot.VyHIDinfo.FeatureBytes,
          Quote(ReadShortString(d.SymLink).substr(0, 99)).c_str());
      if (slot.HIDstringsInfo) {
        for (int k = 0; k < slot.HIDstringsInfo->Count(); ++k)
          WriteLine("DESC " + std::to_string(i) + " " +
                    rtl::StringToUtf8(slot.HIDstringsInfo->Strings(k)));
      }
    }
    Say("EV SCANEND count=%d", DevCount);
  }

  // On the bridge's thread.
  void GetHIDData(rtl::TObject*, THIDreport Report, std::uint8_t BytesCount) {
    inputs_.fetch_add(1);
    input_bytes_.fetch_add(BytesCount);
    if (quiet_.load()) return;
    size_t n = BytesCount < sizeof Report.Data ? BytesCount : sizeof Report.Data;
    WriteLine("IN id=" + std::to_string(Report.ReportID) + " n=" + std::to_string(BytesCount) +
              " data=" + Hex(Report.Data.Bytes, n));
  }

  void PrintOpened() {
    Say("OPENED nr=%d active=%d canSetReport=%d canGetReport=%d canSetFeature=%d "
        "canGetFeature=%d HaveID=%d",
        int(hid_.CurrentDevNr), int(hid_.Active), int(hid_.canSetReport), int(hid_.canGetReport),
        int(hid_.canSetFeature), int(hid_.canGetFeature), int(hid_.HaveID));
  }

  void Send(bool feature, std::uint8_t id, const rtl::RawByteString& data) {
    auto t0 = std::chrono::steady_clock::now();
    std::int32_t rc = feature ? hid_.SetFeature(id, data) : hid_.SetReport(id, data);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    Say("%s rc=%d len=%zu ms=%lld active=%d", feature ? "SETFEAT" : "SENT", rc, data.size(),
        static_cast<long long>(ms), int(hid_.Active));
  }

  void Get(bool feature, std::uint8_t id) {
    THIDreport rep{};
    rep.ReportID = id;
    std::int32_t rc = feature ? hid_.GetFeature(rep) : hid_.GetReport(rep);
    Say("%s rc=%d id=%u data=%s", feature ? "GETFEAT" : "GETIN", rc, rep.ReportID,
        Hex(rep.Data.Bytes, sizeof rep.Data).c_str());
  }

  void DeviceCommand(const std::string& text) {
    int fd = open(kDeviceControl, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      Say("ERROR open %s: %s", kDeviceControl, strerror(errno));
      return;
    }
    std::string line = text + "\n";
    ssize_t n = write(fd, line.data(), line.size());
    int err = errno;
    close(fd);
    if (n != static_cast<ssize_t>(line.size()))
      Say("ERROR write %s: %s", kDeviceControl, strerror(err));
    else
      Say("DEVCMD %s", text.c_str());
  }

  // Returns false on "quit".
  bool Command(const std::string& line);

  // Another program, with its standard output and error read through pipes
  // and printed line by line with a tag.
  struct ChildStream {
    int fd = -1;
    std::string pending;
    const char* tag = "";
  };
  void Spawn(const std::string& args);
  void PumpChild(ChildStream& s);
  void ReapChildIfDone();

  pid_t child_ = -1;
  ChildStream child_out_{-1, {}, "TOOL"};
  ChildStream child_err_{-1, {}, "TOOLERR"};

  rtl::HMODULE bridge_;
  NodeWatch node_watch_;
  TVyHID hid_;
  std::atomic<bool> quiet_{false};
  std::atomic<unsigned long> inputs_{0};
  std::atomic<unsigned long> input_bytes_{0};
};

bool App::Command(const std::string& line) {
  size_t sp = line.find(' ');
  std::string cmd = line.substr(0, sp);
  std::string rest = sp == std::string::npos ? "" : line.substr(sp + 1);
  auto num = [&](size_t index, long& out) {
    const char* p = rest.c_str();
    for (size_t i = 0; i < index; ++i) {
      p = strchr(p, ' ');
      if (!p) return false;
      ++p;
    }
    char* end = nullptr;
    errno = 0;
    out = strtol(p, &end, 0);
    return end != p && errno == 0 && (*end == 0 || *end == ' ');
  };
  long a = 0, b = 0, c = 0;
  rtl::RawByteString bytes;

  if (cmd.empty()) {
  } else if (cmd == "ping") {
    Say("PONG %s", rest.c_str());
  } else if (cmd == "quit") {
    if (child_ > 0) {  // nothing is left running
      kill(child_, SIGKILL);
      while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
      }
      child_ = -1;
    }
    Say("BYE");
    return false;
  } else if (cmd == "scan") {
    std::int32_t rc = hid_.ScanForHIDdevices();
    Say("SCANNED rc=%d devcount=%d active=%d", rc, int(hid_.DevCount), int(hid_.Active));
  } else if (cmd == "open" && num(0, a)) {
    hid_.CurrentDevNr = static_cast<std::int32_t>(a);
    hid_.Active = true;
    PrintOpened();
  } else if (cmd == "openp" && !rest.empty()) {
    std::int32_t found = -1;
    for (std::int32_t i = 0; i < hid_.DevCount && i < 32 && found < 0; ++i)
      if (ReadShortString(hid_.HIDinfoArray[static_cast<size_t>(i)].HIDinfo.ProductString) == rest)
        found = i;
    if (found < 0) {
      Say("ERROR no device with product %s", Quote(rest).c_str());
    } else {
      hid_.CurrentDevNr = found;
      hid_.Active = true;
      PrintOpened();
    }
  } else if (cmd == "close") {
    hid_.CloseHidDevice();
    Say("CLOSED active=%d canSetReport=%d", int(hid_.Active), int(hid_.canSetReport));
  } else if (cmd == "autoconnect" && num(0, a)) {
    hid_.AutoConnect = a != 0;
    Say("OK autoconnect=%d", int(hid_.AutoConnect));
  } else if (cmd == "state") {
    Say("STATE active=%d devcount=%d currentdevnr=%d autoconnect=%d canSetReport=%d "
        "canGetReport=%d canSetFeature=%d canGetFeature=%d HaveID=%d",
        int(hid_.Active), int(hid_.DevCount), int(hid_.CurrentDevNr), int(hid_.AutoConnect),
        int(hid_.canSetReport), int(hid_.canGetReport), int(hid_.canSetFeature),
        int(hid_.canGetFeature), int(hid_.HaveID));
  } else if ((cmd == "send" || cmd == "setfeat") && num(0, a) && a >= 0 && a <= 255 &&
             rest.find(' ') != std::string::npos &&
             ParseHex(std::string_view(rest).substr(rest.find(' ') + 1), bytes)) {
    Send(cmd == "setfeat", static_cast<std::uint8_t>(a), bytes);
  } else if (cmd == "sendpat" && num(0, a) && num(1, b) && num(2, c) && a >= 0 && a <= 255 &&
             b >= 0 && b <= (16 << 20)) {
    bytes.resize(static_cast<size_t>(b));
    for (long i = 0; i < b; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((c + i) & 0xff);
    Send(false, static_cast<std::uint8_t>(a), bytes);
  } else if ((cmd == "getfeat" || cmd == "getin") && num(0, a) && a >= 0 && a <= 255) {
    Get(cmd == "getfeat", static_cast<std::uint8_t>(a));
  } else if (cmd == "quiet" && num(0, a)) {
    quiet_.store(a != 0);
    Say("OK quiet=%d", a != 0 ? 1 : 0);
  } else if (cmd == "stats") {
    Say("STATS inputs=%lu bytes=%lu", inputs_.load(), input_bytes_.load());
  } else if (cmd == "dev" && !rest.empty()) {
    DeviceCommand(rest);
  } else if (cmd == "spawn" && !rest.empty()) {
    Spawn(rest);
  } else if (cmd == "bridgeinfo" && num(0, a) && a >= 0 && a <= 255) {
    const auto info =
        reinterpret_cast<tHIDGetDeviceInfo>(rtl::GetProcAddress(bridge_, "HIDGetDeviceInfo"));
    THIDdeviceInfo record{};
    if (info == nullptr) {
      Say("ERROR the bridge has no HIDGetDeviceInfo");
    } else {
      info(static_cast<std::uint8_t>(a), &record);
      Say("BRIDGEINFO nr=%ld rw=%d product=%s", a, record.HasReadWriteAccess != 0 ? 1 : 0,
          Quote(record.ProductString).c_str());
    }
  } else if (cmd == "watchnodes") {
    if (node_watch_.Start()) Say("OK watching");
  } else if (cmd == "interrupt") {
    if (child_ > 0 && kill(child_, SIGINT) == 0)
      Say("OK interrupted %d", static_cast<int>(child_));
    else
      Say("ERROR interrupt: no program running");
  } else {
    Say("ERROR bad command %s", Quote(line).c_str());
  }
  return true;
}

void App::Spawn(const std::string& args) {
  if (child_ > 0) {
    Say("ERROR spawn: a program is still running");
    return;
  }
  std::vector<std::string> words;
  for (size_t pos = 0; pos < args.size();) {
    size_t end = args.find(' ', pos);
    if (end == std::string::npos) end = args.size();
    if (end > pos) words.push_back(args.substr(pos, end - pos));
    pos = end + 1;
  }
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) < 0) {
    Say("ERROR pipe: %s", strerror(errno));
    return;
  }
  if (pipe2(err, O_CLOEXEC) < 0) {
    Say("ERROR pipe: %s", strerror(errno));
    close(out[0]);
    close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    Say("ERROR spawn %s: %s", argv[0], strerror(rc));
    return;
  }
  child_ = pid;
  child_out_.fd = out[0];
  child_err_.fd = err[0];
  Say("SPAWNED pid=%d %s", static_cast<int>(pid), args.c_str());
}

void App::PumpChild(ChildStream& s) {
  char buf[4096];
  ssize_t n = read(s.fd, buf, sizeof buf);
  if (n < 0 && errno == EINTR) return;
  if (n > 0) s.pending.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = s.pending.find('\n')) != std::string::npos) {
    WriteLine(std::string(s.tag) + " " + s.pending.substr(0, nl));
    s.pending.erase(0, nl + 1);
  }
  if (n <= 0) {  // end of the stream: a last line without a break counts too
    if (!s.pending.empty()) WriteLine(std::string(s.tag) + " " + s.pending);
    s.pending.clear();
    close(s.fd);
    s.fd = -1;
  }
}

void App::ReapChildIfDone() {
  if (child_ <= 0 || child_out_.fd >= 0 || child_err_.fd >= 0) return;
  int status = 0;
  while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    Say("TOOL-EXIT rc=%d", WEXITSTATUS(status));
  else
    Say("TOOL-EXIT signal=%d", WIFSIGNALED(status) ? WTERMSIG(status) : -1);
  child_ = -1;
}

int App::Run() {
  Say("READY devcount=%d", int(hid_.DevCount));
  std::string pending;
  for (;;) {
    pollfd fds[4] = {{STDIN_FILENO, POLLIN, 0},
                     {vcl::Application.EventFd(), POLLIN, 0},
                     {child_out_.fd, POLLIN, 0},
                     {child_err_.fd, POLLIN, 0}};
    if (poll(fds, 4, -1) < 0) {
      if (errno == EINTR) continue;
      Say("ERROR poll: %s", strerror(errno));
      return 1;
    }
    // Messages first: a device change posted before a command is seen by it.
    if (fds[1].revents & POLLIN) vcl::Application.ProcessMessages();
    if (fds[2].revents) PumpChild(child_out_);
    if (fds[3].revents) PumpChild(child_err_);
    ReapChildIfDone();
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[4096];
      ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Say("ERROR standard input closed");
        return 1;
      }
      pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = pending.find_first_of("\r\n")) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!Command(line)) return 0;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* bridge = argc > 1 ? argv[1] : kDefaultBridge;
  // Loading the bridge by path first makes the component's load by bare name
  // return this library.
  rtl::HMODULE module = rtl::LoadLibraryW(rtl::Utf8ToString(bridge));
  if (module == 0) {
    Say("ERROR cannot load %s: %s", bridge, rtl::StringToUtf8(rtl::LastLibraryError()).c_str());
    return 1;
  }
  int rc;
  {
    auto app = std::make_unique<App>(module);
    rc = app->Run();
  }
  rtl::FreeLibrary(module);
  Say("EXIT rc=%d", rc);
  return rc;
}
