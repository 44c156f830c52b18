// The vyhid tool end to end on the simulated bridge. Most tests run the tool
// in-process (RunVyhid) and drive the bridge from the test's thread while the
// tool runs; a few run the built program to cover its signal handling and
// exit statuses.
#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SimControl.h"
#include "VyHID.h"
#include "vyhid/Cli.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A device file of our own: a device with every kind of report and names
// that JSON must escape, a read-only device, and a quiet vendor device (no
// echo, so that a long send leaves no deliveries behind).
constexpr char kTestDevices[] =
    "device\n"
    "  symlink      /dev/test/hidraw0\n"
    "  vid          0x1234\n"
    "  pid          0x00ab\n"
    "  manufacturer ACME \"Quoted\" \\ Back\x01\n"
    "  product      Widget \xC3\x9C \xFF\n"
    "  serial       W-1\n"
    "  access       rw\n"
    "  input   1 8\n"
    "  output  0 64\n"
    "  feature 3 16\n"
    "device\n"
    "  symlink      /dev/test/hidraw1\n"
    "  vid          0x1234\n"
    "  pid          0x00ac\n"
    "  manufacturer ACME\n"
    "  product      Read Only Gadget\n"
    "  access       ro\n"
    "  input  0 4\n"
    "  output 0 8\n"
    "device\n"
    "  symlink      /dev/test/hidraw2\n"
    "  vid          0x1209\n"
    "  pid          0x0003\n"
    "  manufacturer Simulated Devices\n"
    "  product      Quiet Vendor Device\n"
    "  access       rw\n"
    "  input   0 64\n"
    "  output  0 64\n"
    "  feature 1 64\n";

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char chunk[65536];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(n));
  return text;
}

std::vector<const char*> Argv(std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return argv;
}

// Runs the tool in-process on the calling thread and captures its streams.
RunResult RunTool(std::vector<std::string> args, int stopFd = -1) {
  args.insert(args.begin(), "vyhid");
  std::vector<const char*> argv = Argv(args);
  const int out = memfd_create("out", MFD_CLOEXEC);
  const int err = memfd_create("err", MFD_CLOEXEC);
  const int status = vyhid::RunVyhid(static_cast<int>(args.size()), argv.data(),
                                     vyhid::CliStreams{out, err, stopFd});
  RunResult result{status, ReadAll(out), ReadAll(err)};
  close(out);
  close(err);
  return result;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// Reads lines from a pipe as the tool writes them. A line that does not come
// within 10 s fails the test instead of hanging it.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  std::optional<std::string> Next() {
    for (;;) {
      if (const std::size_t nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

// A monitor line without its time stamp, after checking the stamp's form.
std::string Event(const std::optional<std::string>& line) {
  if (!line) return "<no line>";
  static const std::regex stamp(R"(^\d\d:\d\d:\d\d\.\d\d\d )");
  EXPECT_TRUE(std::regex_search(*line, stamp)) << *line;
  return line->size() > 13 ? line->substr(13) : *line;
}

class ToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(LoadSimBridge(rtl::Utf8ToString(VYHID_SIM_BRIDGE_PATH), sim_, module_, &why))
        << why;
    devicesFile_ =
        (fs::temp_directory_path() / ("vyhid-tool-test-" + std::to_string(getpid()) + ".txt"))
            .string();
    std::ofstream(devicesFile_, std::ios::binary) << kTestDevices;
  }
  static void TearDownTestSuite() {
    fs::remove(devicesFile_);
    rtl::FreeLibrary(module_);
  }
  void SetUp() override { sim_.Reset(); }

  static std::string Simulate() { return "--simulate=" + devicesFile_; }

  // The records of the bundled default devices.
  static std::vector<SimDeviceSpec> DefaultDevices() {
    std::ifstream in(VYHID_SIM_DEFAULT_DEVICES_PATH, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<SimDeviceSpec> devices;
    std::string why;
    EXPECT_TRUE(SimParseDeviceText(text, devices, why)) << why;
    return devices;
  }

  // The payloads of the reports sent through an entry point, in order.
  static std::vector<THIDreport> SentReports(const char* entryPoint) {
    std::vector<THIDreport> reports;
    for (int i = 0; i < sim_.CallCount(); ++i) {
      SimCall call{};
      if (sim_.GetCall(i, &call) && std::strcmp(call.Name, entryPoint) == 0) {
        reports.push_back(call.Report);
      }
    }
    return reports;
  }

  static SimBridge sim_;
  static rtl::HMODULE module_;
  static std::string devicesFile_;
};

SimBridge ToolTest::sim_;
rtl::HMODULE ToolTest::module_ = 0;
std::string ToolTest::devicesFile_;

TEST_F(ToolTest, ListPrintsTheDescriptionOfEveryBundledDevice) {
  const RunResult r = RunTool({"--simulate", "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 33u);  // three devices of eleven lines
  EXPECT_EQ(lines[1], "Device Number       : 0");
  EXPECT_EQ(lines[3], "VID:1209 PID:0001  Sim Keyboard (Simulated Devices) [R/W]");
  EXPECT_EQ(lines[14], "VID:1209 PID:0002  Sim Mouse (Simulated Devices) [R/O]");
  EXPECT_EQ(lines[25], "VID:1209 PID:0003  Sim Vendor Device (Simulated Devices) [R/W]");
  EXPECT_EQ(lines[32], "Feature Report(s)   : ReportId 1 (64 bytes); ReportId 2 (8 bytes)");
}

TEST_F(ToolTest, ListFilterKeepsTheMatchingDevicesOnly) {
  RunResult r = RunTool({"--simulate", "list", "--filter", "sim MOUSE"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[1], "Device Number       : 1");

  r = RunTool({"--simulate", "list", "--filter", "no such device"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vyhid: no device matches 'no such device'\n");
}

TEST_F(ToolTest, JsonListCarriesEverySummaryFieldAndEscapesNames) {
  const RunResult r = RunTool({Simulate(), "list", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(nlohmann::json::accept(r.out)) << "not JSON:\n" << r.out;
  const nlohmann::json doc = nlohmann::json::parse(r.out);
  ASSERT_TRUE(doc.is_array());
  ASSERT_EQ(doc.size(), 3u);

  const char* fields[] = {"DevNr",
                          "VID",
                          "PID",
                          "IDs",
                          "VersionNumber",
                          "ManufacturerString",
                          "ProductString",
                          "SerialNumberString",
                          "SymLink",
                          "OutputBufferSize",
                          "InputBufferSize",
                          "FeatureBufferSize",
                          "HasReadWriteAccess",
                          "ReportOutID",
                          "ReportOutBytes",
                          "ReportInID",
                          "ReportInBytes",
                          "FeatureID",
                          "FeatureBytes",
                          "Description"};
  for (const nlohmann::json& device : doc) {
    EXPECT_EQ(device.size(), std::size(fields));
    for (const char* field : fields) EXPECT_TRUE(device.contains(field)) << field;
  }
  const nlohmann::json& widget = doc[0];
  EXPECT_EQ(widget["DevNr"], 0);
  EXPECT_EQ(widget["VID"], 0x1234);
  EXPECT_EQ(widget["PID"], 0xab);
  EXPECT_EQ(widget["IDs"], "VID:1234 PID:00AB");
  EXPECT_EQ(widget["ManufacturerString"], "ACME \"Quoted\" \\ Back\x01");
  // An invalid byte becomes U+FFFD; the output stays valid UTF-8.
  EXPECT_EQ(widget["ProductString"], "Widget \xC3\x9C \xEF\xBF\xBD");
  EXPECT_EQ(widget["SymLink"], "/dev/test/hidraw0");
  EXPECT_EQ(widget["HasReadWriteAccess"], true);
  EXPECT_EQ(widget["ReportOutID"], 0);
  EXPECT_EQ(widget["ReportOutBytes"], 64);
  EXPECT_EQ(widget["ReportInID"], 1);
  EXPECT_EQ(widget["FeatureID"], 3);
  EXPECT_EQ(widget["FeatureBytes"], 16);
  ASSERT_EQ(widget["Description"].size(), 11u);
  EXPECT_EQ(widget["Description"][1], "Device Number       : 0");

  const nlohmann::json& readOnly = doc[1];
  EXPECT_EQ(readOnly["HasReadWriteAccess"], false);
  EXPECT_EQ(readOnly["FeatureID"], -1);
  EXPECT_EQ(readOnly["FeatureBytes"], -1);
}

TEST_F(ToolTest, JsonListOfNoDevicesIsAnEmptyArray) {
  const std::string empty = (fs::temp_directory_path() / "vyhid-tool-empty.txt").string();
  std::ofstream(empty) << "# no devices\n";
  const RunResult r = RunTool({"--simulate=" + empty, "list", "--json"});
  fs::remove(empty);
  EXPECT_EQ(r.status, 0);
  ASSERT_TRUE(nlohmann::json::accept(r.out)) << r.out;
  EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::array());
  EXPECT_EQ(r.err, "vyhid: no HID devices found: the device file " + empty + " describes none\n");
}

// The monitor sees an input report, another device's attach, the removal of
// its own device and that device's return, and goes on with the reopened
// device, each as a line, until stopped.
TEST_F(ToolTest, MonitorFollowsAttachRemovalAndReconnection) {
  const std::vector<SimDeviceSpec> bundled = DefaultDevices();
  ASSERT_EQ(bundled.size(), 3u);
  int outPipe[2];
  int stopPipe[2];
  ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(stopPipe, O_CLOEXEC), 0);
  const int err = memfd_create("err", MFD_CLOEXEC);
  int status = -1;
  std::thread tool([&] {
    std::vector<std::string> args = {"vyhid", "--simulate", "monitor", "vendor"};
    std::vector<const char*> argv = Argv(args);
    status = vyhid::RunVyhid(4, argv.data(), vyhid::CliStreams{outPipe[1], err, stopPipe[0]});
    close(outPipe[1]);
  });
  LineReader lines(outPipe[0]);
  const std::string vendor = "VID:1209 PID:0003 Sim Vendor Device (Simulated Devices)";

  EXPECT_EQ(Event(lines.Next()), "open      device 2: " + vendor);

  THIDreport report{};
  report.ReportID = 0;
  report.Data[0] = 0x01;
  report.Data[1] = 0x02;
  report.Data[2] = 0xfe;
  sim_.InjectInput(&report, 3);
  EXPECT_EQ(Event(lines.Next()), "input     id 0, 3 bytes: 01 02 fe");

  // Another device comes: the rescan closes and reopens the monitored one.
  const THIDdeviceInfo gadget = SimMakeDevice("/dev/test/gadget", 0xabcd, 0x0001, "Gadget", "Test");
  sim_.AddDevice(&gadget);
  EXPECT_EQ(Event(lines.Next()), "close     device 2");
  EXPECT_EQ(Event(lines.Next()), "reconnect device 2: " + vendor);
  EXPECT_EQ(Event(lines.Next()), "attach    VID:ABCD PID:0001 Gadget (Test)");

  // The monitored device goes away...
  sim_.RemoveDevice(2);
  EXPECT_EQ(Event(lines.Next()), "close     device 2");
  EXPECT_EQ(Event(lines.Next()), "remove    " + vendor + " (the monitored device)");

  // ...and comes back under a new number.
  sim_.AddDevice(&bundled[2].info);
  EXPECT_EQ(Event(lines.Next()), "reconnect device 3: " + vendor);
  EXPECT_EQ(Event(lines.Next()), "attach    " + vendor + " (the monitored device)");
  EXPECT_EQ(sim_.OpenDevice(), 3);

  report.ReportID = 7;
  sim_.InjectInput(&report, 1);
  EXPECT_EQ(Event(lines.Next()), "input     id 7, 1 byte: 01");

  ASSERT_EQ(write(stopPipe[1], "x", 1), 1);
  EXPECT_EQ(Event(lines.Next()), "close     device 3");
  EXPECT_EQ(lines.Next(), std::nullopt);  // the end of the output
  tool.join();
  EXPECT_EQ(status, vyhid::kExitInterrupted);
  EXPECT_EQ(ReadAll(err), "");
  for (int fd : {outPipe[0], stopPipe[0], stopPipe[1], err}) close(fd);
}

// Runs the tool in a thread with its output on a pipe, until stopped.
class ToolRun {
 public:
  explicit ToolRun(std::vector<std::string> args) {
    EXPECT_EQ(pipe2(out_, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(stop_, O_CLOEXEC), 0);
    err_ = memfd_create("err", MFD_CLOEXEC);
    lines_ = LineReader(out_[0]);
    args.insert(args.begin(), "vyhid");
    thread_ = std::thread([this, args]() mutable {
      std::vector<const char*> argv = Argv(args);
      status_ = vyhid::RunVyhid(static_cast<int>(args.size()), argv.data(),
                                vyhid::CliStreams{out_[1], err_, stop_[0]});
      close(out_[1]);
    });
  }
  ~ToolRun() {
    if (thread_.joinable()) Stop();
    for (int fd : {out_[0], stop_[0], stop_[1], err_}) close(fd);
  }
  ToolRun(const ToolRun&) = delete;
  ToolRun& operator=(const ToolRun&) = delete;

  LineReader& Lines() { return lines_; }
  // Stops the run (as Ctrl-C does) and returns its status.
  int Stop() {
    EXPECT_EQ(write(stop_[1], "x", 1), 1);
    thread_.join();
    return status_;
  }
  std::string Err() { return ReadAll(err_); }

 private:
  int out_[2] = {-1, -1};
  int stop_[2] = {-1, -1};
  int err_ = -1;
  int status_ = -1;
  std::thread thread_;
  LineReader lines_{-1};
};

// A report that reaches the monitor before the component has reported the
// open (delivered from inside the bridge's open) waits for the open line, at
// the first open and at a reconnection.
TEST_F(ToolTest, MonitorShowsTheOpenLineBeforeAnyInputReport) {
  THIDreport report{};
  report.ReportID = 1;
  report.Data[0] = 0x2a;
  sim_.SetOpenInput(&report, 1);
  ToolRun monitor({Simulate(), "monitor", "0"});
  EXPECT_EQ(Event(monitor.Lines().Next()).substr(0, 18), "open      device 0");
  EXPECT_EQ(Event(monitor.Lines().Next()), "input     id 1, 1 byte: 2a");
  sim_.SetOpenInput(&report, 1);
  const THIDdeviceInfo gadget = SimMakeDevice("/dev/test/gadget", 0xabcd, 0x0001, "Gadget", "Test");
  sim_.AddDevice(&gadget);
  EXPECT_EQ(Event(monitor.Lines().Next()), "close     device 0");
  EXPECT_EQ(Event(monitor.Lines().Next()).substr(0, 18), "reconnect device 0");
  EXPECT_EQ(Event(monitor.Lines().Next()), "input     id 1, 1 byte: 2a");
  EXPECT_EQ(monitor.Stop(), vyhid::kExitInterrupted);
}

// Record and replay: a hand-written recording's vendor device (report IDs,
// a report longer than 64 bytes) is recorded with 'vyhid record' while the
// simulated bridge replays it; the recording made replays in its turn, and
// 'vyhid monitor' shows the same reports in the same order from both.
TEST_F(ToolTest, RecordThenReplayShowsTheSameReportsInTheSameOrder) {
  const std::string original = "--simulate=" VYHID_TEST_RECORDING_PATH;
  sim_.SetReplayPace(kSimReplayFast);
  // The monitor's input lines for the vendor device: three reports replayed
  // at once (and one open line, which the first may come before).
  const auto monitored = [&](const std::string& simulate) {
    ToolRun monitor({simulate, "monitor", "VID:1209"});
    std::vector<std::string> inputs;
    for (int i = 0; i < 4; ++i) {
      const std::string event = Event(monitor.Lines().Next());
      if (event.rfind("open      device ", 0) != 0) inputs.push_back(event);
    }
    EXPECT_EQ(monitor.Stop(), vyhid::kExitInterrupted);
    EXPECT_EQ(monitor.Err(), "");
    return inputs;
  };
  const std::vector<std::string> before = monitored(original);
  ASSERT_EQ(before.size(), 3u);
  // The 100-byte report in two pieces, each line saying which.
  EXPECT_EQ(before[0].substr(0, 37), "input     id 1, bytes 1-64 of 100: 00");
  EXPECT_EQ(before[1].substr(0, 39), "input     id 1, bytes 65-100 of 100: 40");

  std::string recording;
  {
    ToolRun record({original, "record", "1"});
    const std::string header[] = {"# VID:1209 PID:0003 Handwritten Vendor Device ()",
                                  "R: 39 06 00 ff 09 01 a1 01 85 01 15 00 26 ff 00 75 08 95 64 09 "
                                  "01 81 02 85 02 95 04 09 01 81 02 85 03 95 40 09 01 91 02 c0",
                                  "N: Handwritten Vendor Device", "P: D1 recorded device",
                                  "I: 3 1209 0003"};
    for (const std::string& line : header) {
      EXPECT_EQ(record.Lines().Next(), line);
      recording += line + "\n";
    }
    // Each report whole, as the device sent it: the ID byte, then the payload.
    std::string longReport = "101 01";
    for (int i = 0; i < 100; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", i);
      longReport += hex;
    }
    for (const std::string& bytes : {longReport, std::string("5 02 0a 0b 0c 0d")}) {
      const std::optional<std::string> line = record.Lines().Next();
      ASSERT_TRUE(line);
      EXPECT_TRUE(std::regex_match(*line, std::regex("E: \\d{6}\\.\\d{6} " + bytes))) << *line;
      recording += *line + "\n";
    }
    EXPECT_EQ(record.Stop(), vyhid::kExitInterrupted);
    EXPECT_EQ(record.Lines().Next(), std::nullopt);
    EXPECT_EQ(record.Err(), "");
  }
  const std::string file =
      (fs::temp_directory_path() / ("vyhid-tool-recording-" + std::to_string(getpid()) + ".txt"))
          .string();
  std::ofstream(file, std::ios::binary) << recording;
  const std::vector<std::string> after = monitored("--simulate=" + file);
  fs::remove(file);
  EXPECT_EQ(after, before);

  // A device without a descriptor cannot be recorded, and the tool says why.
  const RunResult r = RunTool({Simulate(), "record", "0"});
  EXPECT_EQ(r.status, vyhid::kExitFailure);
  EXPECT_NE(r.err.find("no report descriptor: /dev/test/hidraw0: the virtual device has no report "
                       "descriptor"),
            std::string::npos)
      << r.err;
}

// What a user sees of a device through its report descriptor: the layout
// (describe), input reports decoded (monitor --decode, --json), an output
// report built by usage (send --set), and a device without a descriptor.
TEST_F(ToolTest, ReportsAreReadAndBuiltByUsageThroughTheDescriptor) {
  const std::string recording = "--simulate=" VYHID_TEST_RECORDING_PATH;
  sim_.SetReplayPace(kSimReplayFast);
  const RunResult describe = RunTool({recording, "describe", "0"});
  EXPECT_EQ(describe.status, vyhid::kExitOk) << describe.err;
  for (const char* line : {"  09 01             Usage (Pointer)\n",
                           "  c0                End Collection\n", "input report 0: 3 bytes\n",
                           "       8     8      2  X, Y                     -127..127              "
                           "Data,Var,Rel\n"}) {
    EXPECT_NE(describe.out.find(line), std::string::npos) << line << describe.out;
  }
  // The replayed mouse's input lines (the open line, which the first report
  // may come before, left out), whose values the recording's bytes give.
  const auto monitored = [&](const std::string& option) {
    ToolRun monitor({recording, "monitor", "0", option});
    std::vector<std::string> inputs;
    for (int i = 0; i < 4; ++i) {
      const std::string line = monitor.Lines().Next().value_or("");
      if (line.find("open") == std::string::npos) inputs.push_back(line);
    }
    EXPECT_EQ(monitor.Stop(), vyhid::kExitInterrupted);
    EXPECT_EQ(monitor.Err(), "");
    return inputs;
  };
  std::vector<std::string> text = monitored("--decode");
  for (std::string& line : text) line = Event(line);
  EXPECT_EQ(text, (std::vector<std::string>{
                      "input     id 0: Button1 1  Button2 0  Button3 0  X -3  Y 2",
                      "input     id 0: Button1 0  Button2 0  Button3 0  X 3  Y -2",
                      "input     id 0: Button1 0  Button2 0  Button3 1  X 0  Y 0"}));
  const std::string json = monitored("--json").at(0);
  EXPECT_TRUE(nlohmann::json::accept(json)) << json;
  EXPECT_NE(json.find(R"("event":"input","id":0,"bytes":"01 fd 02","values":[{"usage":"Button1",)"
                      R"("value":1},)"),
            std::string::npos)
      << json;

  // A boot keyboard: its keys by name, its LED report built by usage.
  const std::string keyboard =
      (fs::temp_directory_path() / ("vyhid-tool-keyboard-" + std::to_string(getpid()) + ".txt"))
          .string();
  std::ofstream(keyboard, std::ios::binary)
      << "R: 63 05 01 09 06 a1 01 05 07 19 e0 29 e7 15 00 25 01 75 01 95 08 81 02 95 01 75 08 81 "
         "01 95 05 75 01 05 08 19 01 29 05 91 02 95 01 75 03 91 01 95 06 75 08 15 00 25 65 05 07 "
         "19 00 29 65 81 00 c0\nN: Keyboard\nI: 3 1234 0001\nE: 000000.000000 8 02 00 04 05 00 00 "
         "00 00\n";
  const std::string kbd = "--simulate=" + keyboard;
  {
    ToolRun monitor({kbd, "monitor", "0", "--decode"});
    const std::string first = Event(monitor.Lines().Next());
    const std::string second = Event(monitor.Lines().Next());
    EXPECT_EQ(first.rfind("open", 0) == 0 ? second : first,
              "input     id 0: LeftControl 0  LeftShift 1  LeftAlt 0  LeftGUI 0  RightControl 0  "
              "RightShift 0  RightAlt 0  RightGUI 0  A  B");
    monitor.Stop();
  }
  sim_.Reset();
  // Usage names in any case; the report shows them as describe names them.
  RunResult r = RunTool({kbd, "send", "0", "--set", "NumLock=1", "--set=scrolllock=1"});
  EXPECT_EQ(r.out, "sent output report 0, 1 byte: 05 (NumLock=1 ScrollLock=1)\n") << r.err;
  const std::vector<THIDreport> sent = SentReports("HIDSetOutputReport");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Data.Bytes[0], 0x05);
  // Refusals say why: a usage no report holds, a value its field cannot hold.
  r = RunTool({kbd, "send", "0", "--set", "X=1"});
  EXPECT_EQ(r.status, vyhid::kExitUsage);
  EXPECT_EQ(r.err,
            "vyhid: no output or feature report of device 0 holds X ('vyhid describe' lists its "
            "reports' usages)\n");
  r = RunTool({kbd, "send", "0", "--set", "NumLock=2"});
  EXPECT_EQ(r.status, vyhid::kExitUsage);
  EXPECT_EQ(r.err,
            "vyhid: cannot set NumLock=2: value 2 outside the logical range 0..1 of NumLock\n");
  fs::remove(keyboard);

  // Without a descriptor: hex, and one line that says why.
  ToolRun monitor({Simulate(), "monitor", "0", "--decode"});
  monitor.Lines().Next();
  THIDreport report{};
  report.ReportID = 1;
  report.Data[0] = 0x0a;
  report.Data[1] = 0x0b;
  sim_.InjectInput(&report, 2);
  EXPECT_EQ(Event(monitor.Lines().Next()), "input     id 1, 2 bytes: 0a 0b");
  monitor.Stop();
  EXPECT_NE(monitor.Err().find("cannot be decoded: no report descriptor: /dev/test/hidraw0: the "
                               "virtual device has no report descriptor"),
            std::string::npos);
}

// Input reports from the bridge's own thread, many and fast, reach the
// output as whole lines while the component's thread prints its events.
TEST_F(ToolTest, MonitorLinesDoNotTearUnderAStreamOfReports) {
  int outPipe[2];
  int stopPipe[2];
  ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(stopPipe, O_CLOEXEC), 0);
  int status = -1;
  std::thread tool([&] {
    std::vector<std::string> args = {"vyhid", "--simulate", "monitor", "2"};
    std::vector<const char*> argv = Argv(args);
    status = vyhid::RunVyhid(4, argv.data(), vyhid::CliStreams{outPipe[1], 2, stopPipe[0]});
    close(outPipe[1]);
  });
  LineReader lines(outPipe[0]);
  EXPECT_EQ(Event(lines.Next()).substr(0, 18), "open      device 2");

  THIDreport report{};
  for (int i = 0; i < 64; ++i) report.Data[i] = static_cast<std::uint8_t>(i);
  constexpr int kReports = 2000;
  sim_.StartInputStream(&report, 64, kReports);
  const THIDdeviceInfo gadget = SimMakeDevice("/dev/test/gadget", 0xabcd, 0x0001, "Gadget", "Test");
  sim_.AddDevice(&gadget);  // rescan lines interleave with the stream

  std::string expected = "input     " + [&] {
    std::string text = "id 0, 64 bytes: ";
    for (int i = 0; i < 64; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, i ? " %02x" : "%02x", i);
      text += hex;
    }
    return text;
  }();
  int inputs = 0;
  bool attached = false;
  while (inputs < kReports || !attached) {
    const std::optional<std::string> line = lines.Next();
    ASSERT_TRUE(line) << "after " << inputs << " reports";
    const std::string event = Event(line);
    if (event.rfind("input", 0) == 0) {
      ASSERT_EQ(event, expected);
      ++inputs;
    } else {
      attached = attached || event.rfind("attach", 0) == 0;
    }
  }
  sim_.WaitInputStream();
  ASSERT_EQ(write(stopPipe[1], "x", 1), 1);
  while (lines.Next()) {
  }
  tool.join();
  EXPECT_EQ(status, vyhid::kExitInterrupted);
  for (int fd : {outPipe[0], stopPipe[0], stopPipe[1]}) close(fd);
}

TEST_F(ToolTest, SendOfALargeFileGoesOutAsWholeReportsInOrder) {
  constexpr std::size_t kSize = 1024 * 1024 + 1;
  std::string data(kSize, '\0');
  for (std::size_t i = 0; i < kSize; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  const std::string file = (fs::temp_directory_path() / "vyhid-tool-big.bin").string();
  std::ofstream(file, std::ios::binary) << data;

  const RunResult r = RunTool({Simulate(), "send", "Quiet", "--file", file, "--progress"});
  fs::remove(file);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "sent 1048577 bytes in 16385 output reports (report ID 0)\n");
  // Progress by tenths on a stream that is not a terminal.
  const std::vector<std::string> progress = Lines(r.err);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), "progress: 100% (1048577 of 1048577 bytes)");
  EXPECT_LE(progress.size(), 11u);

  const std::vector<THIDreport> sent = SentReports("HIDSetOutputReport");
  ASSERT_EQ(sent.size(), 16385u);
  std::string received;
  for (const THIDreport& report : sent) {
    EXPECT_EQ(report.ReportID, 0);
    received.append(reinterpret_cast<const char*>(report.Data.Bytes), 64);
  }
  EXPECT_EQ(received.substr(0, kSize), data);
  EXPECT_EQ(received.substr(kSize), std::string(63, '\0'));  // the last report is padded
}

// A device takes as many bytes a report as its report holds: the keyboard's
// one-byte LED report gets one byte each.
TEST_F(ToolTest, SendCutsTheBytesToTheSizeOfTheDevicesReport) {
  const RunResult r = RunTool({"--simulate", "send", "keyboard", "01 02 03"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "sent 3 bytes in 3 output reports (report ID 0)\n");
  const std::vector<THIDreport> sent = SentReports("HIDSetOutputReport");
  ASSERT_EQ(sent.size(), 3u);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].Data[0], i + 1);
    EXPECT_EQ(sent[i].Data[1], 0);
  }
}

// Of several reports the reply answers the last, in both forms.
TEST_F(ToolTest, SendAndReplyMakeARoundTripWithTheVendorDevice) {
  RunResult r = RunTool({"--simulate", "send", "vendor", "--reply", "48656c6c6f"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0], "sent 5 bytes in 1 output report (report ID 1)");
  EXPECT_EQ(lines[1].substr(0, 37), "reply: id 1, 64 bytes: 48 65 6c 6c 6f");

  r = RunTool({"--simulate", "send", "vendor", "--reply", std::string(128, '0') + "4142"});
  ASSERT_EQ(r.status, 0) << r.err;
  lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0], "sent 66 bytes in 2 output reports (report ID 1)");
  EXPECT_EQ(lines[1].substr(0, 28), "reply: id 1, 64 bytes: 41 42");

  r = RunTool({"--simulate", "send", "2", "--feature", "--id", "0x01", "--reply", "de:ad:be:ef"});
  ASSERT_EQ(r.status, 0) << r.err;
  lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0], "device took 4 bytes in 1 feature report (report ID 1)");
  EXPECT_EQ(lines[1].substr(0, 34), "reply: id 1, 64 bytes: de ad be ef");
}

// A refusal names the report's ID and its place in the send.
TEST_F(ToolTest, SendStopsAtTheFirstRefusedReportAndSaysWhichOne) {
  sim_.SetSendTake(0);
  const RunResult r = RunTool({Simulate(), "send", "2", "--feature", "--id", "1", "01 02 03"});
  EXPECT_EQ(r.status, vyhid::kExitFailure);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(
      r.err,
      "vyhid: device 2 refused feature report ID 1, the send's report 1: it took 0 of 3 bytes\n");
  EXPECT_EQ(SentReports("HIDSetFeatureReport").size(), 1u);
}

TEST_F(ToolTest, SendStopsBetweenReportsWhenAskedTo) {
  int stopPipe[2];
  ASSERT_EQ(pipe2(stopPipe, O_CLOEXEC), 0);
  ASSERT_EQ(write(stopPipe[1], "x", 1), 1);
  const RunResult r = RunTool({Simulate(), "send", "2", "00 01 02"}, stopPipe[0]);
  close(stopPipe[0]);
  close(stopPipe[1]);
  EXPECT_EQ(r.status, vyhid::kExitInterrupted);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vyhid: interrupted: sent 0 of 3 bytes in 0 output reports\n");
  EXPECT_TRUE(SentReports("HIDSetOutputReport").empty());
}

// Standard input is sent as it comes, its size unknown; a stop while the
// tool waits for it is an interrupt.
TEST_F(ToolTest, SendStreamsStandardInputAndStopsWhileWaitingForIt) {
  const int savedStdin = dup(0);
  auto withStdin = [&](const std::string& bytes, bool stop) {
    int in[2];
    int stopPipe[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(stopPipe, O_CLOEXEC), 0);
    EXPECT_EQ(write(in[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    if (stop) {
      EXPECT_EQ(write(stopPipe[1], "x", 1), 1);  // and the writer stays, silent
    } else {
      close(in[1]);
    }
    dup2(in[0], 0);
    const RunResult r =
        RunTool({Simulate(), "send", "Quiet", "--file", "-", "--progress"}, stopPipe[0]);
    dup2(savedStdin, 0);
    for (int fd : {in[0], stopPipe[0], stopPipe[1]}) close(fd);
    if (stop) close(in[1]);
    return r;
  };
  RunResult r = withStdin(std::string(100, 'x'), false);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "sent 100 bytes in 2 output reports (report ID 0)\n");
  EXPECT_EQ(Lines(r.err).back(), "progress: 100 bytes");
  EXPECT_EQ(SentReports("HIDSetOutputReport").size(), 2u);

  r = withStdin("", true);
  close(savedStdin);
  EXPECT_EQ(r.status, vyhid::kExitInterrupted);
  EXPECT_EQ(r.err, "vyhid: interrupted while reading -\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(ToolTest, GetPrintsTheFetchedReport) {
  THIDreport input{};
  input.ReportID = 1;
  input.Data[0] = 0xca;
  input.Data[1] = 0xfe;
  sim_.SetInputReport(&input, 2);
  THIDreport feature{};
  feature.ReportID = 3;
  for (int i = 0; i < 16; ++i) feature.Data[i] = static_cast<std::uint8_t>(0xf0 + i);
  sim_.SetFeatureReport(&feature, 16);

  RunResult r = RunTool({Simulate(), "get", "0", "--id", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "id 1, 2 bytes: ca fe\n");
  r = RunTool({Simulate(), "get", "widget", "--feature", "--id", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "id 3, 16 bytes: f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff\n");
  // Nothing stored for this ID: the device returns nothing.
  r = RunTool({Simulate(), "get", "0", "--id", "9"});
  EXPECT_EQ(r.status, vyhid::kExitFailure);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vyhid: device 0 returned no input report 9; its input report IDs: 1\n");
  // A listed ID that gives nothing: the bridge's reason, and where such reports are seen.
  sim_.ScriptError("HIDGetInputReport", EIO, "no data");
  EXPECT_EQ(RunTool({Simulate(), "get", "0", "--id", "1"}).err,
            "vyhid: device 0 returned no input report 1: no data; it had none to give (many "
            "devices only send input reports by themselves: 'vyhid monitor 0' shows them)\n");
}

struct ErrorCase {
  std::vector<std::string> args;
  int status;
  std::string message;  // part of what the tool writes on its error stream
};

// Every failure: the right status, a message on the error stream, and
// nothing on the output stream.
TEST_F(ToolTest, ErrorsGoToTheErrorStreamWithTheirExitStatus) {
  const std::string notALibrary = VYHID_SIM_DEFAULT_DEVICES_PATH;
  const std::string badDevices = (fs::temp_directory_path() / "vyhid-tool-bad.txt").string();
  std::ofstream(badDevices) << "device\n  vid 0x12345\n";
  const std::string emptyFile = (fs::temp_directory_path() / "vyhid-tool-empty-file").string();
  std::ofstream{emptyFile};
  const std::string directory = fs::temp_directory_path().string();
  const std::string sim = Simulate();
  const std::vector<ErrorCase> cases = {
      {{}, 2, "usage: vyhid"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"list", "--jsn"}, 2, "unknown option '--jsn' for 'list'"},
      {{"list", "extra"}, 2, "'list' takes no arguments"},
      {{sim, "send", "2", "0g"}, 2, "bad hex: 'g' at position 2 is not a hex digit"},
      {{sim, "send", "2", "012"}, 2, "bad hex: '012' does not have an even number of hex digits"},
      {{sim, "send", "2", ":"}, 2, "bad hex: no bytes given"},
      {{sim, "send", "2"}, 2, "'send' needs the bytes to send"},
      {{sim, "send", "2", "--file", "/nonexistent/file"}, 2, "cannot read /nonexistent/file"},
      {{sim, "send", "2", "00", "--file", "x"}, 2, "either HEX or --file"},
      {{sim, "get", "2"}, 2, "'get' needs --id ID"},
      {{sim, "get", "2", "--id", "256"}, 2, "bad report ID '256'"},
      {{sim, "get", "2", "--id"}, 2, "option '--id' needs a value"},
      {{sim, "get", "2", "--id", "1", "--id"}, 2, "option '--id' needs a value"},
      {{sim, "monitor"}, 2, "'monitor' needs one DEVICE"},
      {{"--simulate=/nonexistent/devices.txt", "list"}, 2, "cannot read device file"},
      {{"--simulate=" + badDevices, "list"}, 2, badDevices + ": line 2"},
      {{"--simulate=" + directory, "list"}, 2, "device file " + directory + ": it is a directory"},
      {{"--simulate=" + emptyFile, "list"}, 2, "device file " + emptyFile + ": it is empty"},
      {{"--bridge", "/nonexistent/HID_Bridge__.dll", "list"}, 3, "no bridge at"},
      {{"--bridge", notALibrary, "list"}, 3, "cannot load bridge"},
      {{"--simulate", "--bridge", VYHID_HIDRAW_BRIDGE_PATH, "list"},
       3,
       "is not a simulated bridge"},
      {{sim, "get", "7", "--id", "0"}, 4, "no device 7 (3 found"},
      {{sim, "monitor", "no such thing"}, 4, "no device matches 'no such thing'"},
      {{sim, "send", "1", "00"}, 5, "permission denied: device 1 (/dev/test/hidraw1) is read-only"},
      {{"--simulate", "send", "vendor", "--id", "0", "01"},
       1,
       "device 2 refused output report "
       "ID 0, the send's report 1: it took 0 of 1 byte: /dev/sim/hidraw2: the device has no "
       "output report with ID 0; its output report IDs: 1\n"},
      {{sim, "send", "1", "00"}, 5, "the device file " + devicesFile_ + " says so ('access ro')"},
      {{sim, "send", "", "01"}, 2, "DEVICE is empty"},
      {{sim, "get", " ", "--id", "1"}, 2, "DEVICE is empty"},
      {{sim, "get", "1234", "--id", "1"}, 4, "no device 1234"},  // digits: a number
      {{sim, "get", "PID:00ac", "--feature", "--id", "1"}, 1, "device 1 has no feature reports"},
      {{sim, "get", "vid:1234 pid:ff", "--id", "1"}, 4, "no device matches 'vid:1234 pid:ff'"},
      {{sim, "send", "2", "--file", fs::temp_directory_path().string()}, 2, "is a directory"},
      {{"--simulate", badDevices, "list"},
       2,
       "a device file goes with '=': --simulate=" + badDevices},
      {{sim, "get", "1", "--feature", "--id", "1"}, 1, "device 1 has no feature reports"},
  };
  for (const ErrorCase& c : cases) {
    std::string command;
    for (const std::string& a : c.args) command += " " + a;
    SCOPED_TRACE("vyhid" + command);
    const RunResult r = RunTool(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  fs::remove(badDevices);
  fs::remove(emptyFile);
}

// A record that fails leaves no file, and a file of that name as it was.
TEST_F(ToolTest, AFailedRecordLeavesNoFileBehind) {
  const fs::path dir = fs::temp_directory_path() / ("vyhid-record-" + std::to_string(getpid()));
  fs::create_directory(dir);
  EXPECT_EQ(RunTool({Simulate(), "record", "0", "-o", (dir / "new").string()}).status, 1);
  std::ofstream(dir / "old") << "kept\n";
  EXPECT_EQ(RunTool({Simulate(), "record", "0", "-o", (dir / "old").string()}).status, 1);
  EXPECT_EQ((std::vector<fs::path>{fs::directory_iterator(dir), {}}),
            std::vector<fs::path>{dir / "old"});
  EXPECT_EQ(fs::file_size(dir / "old"), 5u);
  fs::remove_all(dir);
}

TEST_F(ToolTest, AFailedOpenIsReported) {
  const std::uint8_t refuse = 0;
  sim_.ScriptOpenResults(&refuse, 1);
  const RunResult r = RunTool({Simulate(), "get", "2", "--feature", "--id", "1"});
  EXPECT_EQ(r.status, vyhid::kExitFailure);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "vyhid: cannot open device 2: VID:1209 PID:0003 Quiet Vendor Device (Simulated "
            "Devices) at /dev/test/hidraw2\n");
}

// The bridge's reason for a failed open decides the exit status and is shown.
TEST_F(ToolTest, AFailedOpenSaysWhatTheBridgeSaysWhy) {
  const std::string at =
      "cannot open device 2: VID:1209 PID:0003 Quiet Vendor Device (Simulated "
      "Devices) at /dev/test/hidraw2: ";
  const std::vector<ErrorCase> cases = {
      {{Simulate(), "get", "2", "--id", "0"},
       vyhid::kExitPermission,
       at + "permission denied: open(/dev/test/hidraw2): Permission denied\nfix: install the "
            "udev rule"},
      {{Simulate(), "send", "2", "00"},
       vyhid::kExitFailure,
       at + "device busy: held by another program\n"},
      {{Simulate(), "get", "2", "--id", "0"}, vyhid::kExitNoDevice, at + "no such device: gone\n"},
  };
  const std::pair<int, const char*> reasons[] = {
      {EACCES, "open(/dev/test/hidraw2): Permission denied"},
      {EBUSY, "held by another program"},
      {ENOENT, "gone"}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(reasons[i].second);
    sim_.ScriptError("HIDopenDevice", reasons[i].first, reasons[i].second);
    const RunResult r = RunTool(cases[i].args);
    EXPECT_EQ(r.status, cases[i].status);
    EXPECT_EQ(r.err.rfind("vyhid: " + cases[i].message, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// The component allows one instance per process: the tool's is refused
// while the program has one of its own.
TEST_F(ToolTest, AComponentAlreadyLiveInTheProcessIsReported) {
  TVyHID live(nullptr);
  const RunResult r = RunTool({Simulate(), "list"});
  EXPECT_EQ(r.status, vyhid::kExitFailure);
  EXPECT_EQ(r.err.rfind("vyhid: another TVyHID is live in this process: ", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(ToolTest, EveryCommandHasHelpOnTheOutputStream) {
  for (const char* command : {"list", "monitor", "describe", "send", "get", "record"}) {
    const RunResult r = RunTool({command, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(std::string("usage: vyhid ") + command, 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
  }
  // The usage line names every option, what the command needs bare.
  EXPECT_EQ(Lines(RunTool({"get", "--help"}).out)[0],
            "usage: vyhid get DEVICE --id ID [--feature]");
  const RunResult r = RunTool({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* part : {"exit status", "--reply", "--progress", "--timeout MS", "130"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part;
  }
}

// README's examples, run as README shows them: every "$ vyhid --simulate..."
// block's command, its output compared with the lines under it (up to the
// next command, a demo's "==" line or text indented less). In those lines
// "..." stands for any text, a line of "..." (and a remark) for any lines, a
// time stamp for any time; "^C" marks where the run is stopped.
struct ReadmeExample {
  std::vector<std::string> args, before, after;  // the output before and after ^C
};

std::vector<ReadmeExample> ReadmeExamples() {
  std::ifstream in(VYHID_SOURCE_DIR "/README.md");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::vector<ReadmeExample> examples;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    if (!std::regex_match(lines[i], m, std::regex(R"(( *)\$ vyhid (--simulate.*))"))) continue;
    std::istringstream words(m[2]);
    ReadmeExample& e = examples.emplace_back(
        ReadmeExample{{std::istream_iterator<std::string>(words), {}}, {}, {}});
    std::vector<std::string>* into = &e.before;
    const auto blockIndent = static_cast<std::size_t>(m[1].length());
    for (std::size_t j = i + 1; j < lines.size(); ++j) {
      const std::size_t indent = std::min(lines[j].find_first_not_of(' '), lines[j].size());
      const std::string text = lines[j].substr(std::min(indent, blockIndent));
      if ((!text.empty() && indent < blockIndent) || text.rfind("$ ", 0) == 0 ||
          text.rfind("==", 0) == 0) {
        break;
      }
      if (text.rfind("^C", 0) == 0) into = &e.after;
      into->push_back(text.substr(text.rfind("^C", 0) == 0 ? 2 : 0));
    }
    for (std::vector<std::string>* part : {&e.before, &e.after}) {
      while (!part->empty() && part->back().empty()) part->pop_back();
    }
  }
  return examples;
}

// Whether the lines show as README's lines say (see above).
bool ShowsAs(const std::vector<std::string>& expected, std::size_t e,
             const std::vector<std::string>& actual, std::size_t a) {
  if (e == expected.size()) return a == actual.size();
  if (std::regex_match(expected[e], std::regex(R"( *\.\.\.( +\(.*\))?)"))) {
    return ShowsAs(expected, e + 1, actual, a) ||
           (a < actual.size() && ShowsAs(expected, e, actual, a + 1));
  }
  std::string glob;  // the line as an fnmatch(3) pattern
  for (char c : expected[e]) glob += std::string(std::strchr("*?[\\", c) ? "\\" : "") + c;
  glob = std::regex_replace(glob, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d)"), "??:??:??.???");
  glob = std::regex_replace(glob, std::regex(R"(\.\.\.)"), "*");
  return a < actual.size() && fnmatch(glob.c_str(), actual[a].c_str(), 0) == 0 &&
         ShowsAs(expected, e + 1, actual, a + 1);
}

TEST_F(ToolTest, EveryReadmeExampleRunsAsReadmeShowsIt) {
  // README's paths are relative to the source tree, as a user types them.
  fs::current_path(VYHID_SOURCE_DIR);
  const std::vector<ReadmeExample> examples = ReadmeExamples();
  ASSERT_EQ(examples.size(), 9u);  // as many as README shows
  for (const ReadmeExample& example : examples) {
    const std::vector<std::string>& args = example.args;
    SCOPED_TRACE(testing::PrintToString(args));
    sim_.Reset();
    std::vector<std::string> shown;
    if (args[1] != "monitor" && args[1] != "record") {
      const RunResult r = RunTool(args);
      EXPECT_EQ(r.status, vyhid::kExitOk) << r.err;
      EXPECT_EQ(r.err, "");
      shown = Lines(r.out);
      EXPECT_TRUE(ShowsAs(example.before, 0, shown, 0)) << r.out;
      continue;
    }
    // Until it runs: read until the lines before ^C show, then stop it.
    ToolRun run(args);
    while (!ShowsAs(example.before, 0, shown, 0)) {
      const std::optional<std::string> line = run.Lines().Next();
      ASSERT_TRUE(line) << "README shows more than came:\n" << testing::PrintToString(shown);
      shown.push_back(*line);
    }
    EXPECT_EQ(run.Stop(), vyhid::kExitInterrupted);
    std::vector<std::string> after;
    while (const std::optional<std::string> line = run.Lines().Next()) after.push_back(*line);
    EXPECT_TRUE(ShowsAs(example.after, 0, after, 0)) << testing::PrintToString(after);
    EXPECT_EQ(run.Err(), "");
  }
  // "Your own program" shows the example program whole, which the build compiles.
  std::ifstream readme(VYHID_SOURCE_DIR "/README.md");
  std::ifstream program(VYHID_SOURCE_DIR "/examples/first_program/main.cpp");
  const std::string text((std::istreambuf_iterator<char>(readme)), {});
  const std::string code((std::istreambuf_iterator<char>(program)), {});
  EXPECT_NE(text.find("```cpp\n" + code + "```\n"), std::string::npos);
}

// The program itself: a signal ends a monitor normally, and exit statuses
// reach the shell.
class ToolProgramTest : public ::testing::Test {
 protected:
  struct Child {
    pid_t pid;
    int out;  // a pipe from its standard output
    int err;  // a memory file with its standard error
  };
  static Child Spawn(std::vector<std::string> args) {
    args.insert(args.begin(), VYHID_TOOL_PATH);
    std::vector<const char*> argv = Argv(args);
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int err = memfd_create("err", MFD_CLOEXEC);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, VYHID_TOOL_PATH, &actions, nullptr,
                          const_cast<char* const*>(argv.data()), environ),
              0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    return {pid, out[0], err};
  }
  static int Wait(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

TEST_F(ToolProgramTest, SigintEndsAMonitorAsInterrupted) {
  const Child child = Spawn({"--simulate", "monitor", "2"});
  LineReader lines(child.out);
  EXPECT_EQ(Event(lines.Next()).substr(0, 18), "open      device 2");
  ASSERT_EQ(kill(child.pid, SIGINT), 0);
  EXPECT_EQ(Event(lines.Next()), "close     device 2");
  EXPECT_EQ(lines.Next(), std::nullopt);
  EXPECT_EQ(Wait(child.pid), vyhid::kExitInterrupted);
  EXPECT_EQ(ReadAll(child.err), "");
  close(child.out);
  close(child.err);
}

TEST_F(ToolProgramTest, ExitStatusesReachTheCaller) {
  Child child = Spawn({"--simulate", "list", "--json"});
  std::string out = ReadAll(child.out);
  EXPECT_EQ(Wait(child.pid), 0);
  EXPECT_TRUE(nlohmann::json::accept(out)) << out;
  close(child.out);
  close(child.err);

  child = Spawn({"--bridge", "/nonexistent/HID_Bridge__.dll", "list"});
  out = ReadAll(child.out);
  EXPECT_EQ(Wait(child.pid), vyhid::kExitNoBridge);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ReadAll(child.err), "vyhid: no bridge at /nonexistent/HID_Bridge__.dll\n");
  close(child.out);
  close(child.err);
}

}  // namespace
