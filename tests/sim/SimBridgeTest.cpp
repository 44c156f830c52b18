// The simulated bridge as a client sees it: the built library loaded with
// dlopen, its entry points and control API resolved by name.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "SimApi.h"
#include "SimDevices.h"

namespace {

std::uint64_t ThisThread() {
  return static_cast<std::uint64_t>(::gettid());
}

THIDreport MakeReport(std::uint8_t id, std::initializer_list<std::uint8_t> bytes) {
  THIDreport r{};
  r.ReportID = id;
  std::size_t i = 0;
  for (const std::uint8_t b : bytes) r.Data[i++] = b;
  return r;
}

bool SameBytes(const void* a, const void* b, std::size_t n) {
  return std::memcmp(a, b, n) == 0;
}
bool SameReport(const THIDreport& a, const THIDreport& b) {
  return SameBytes(&a, &b, sizeof a);
}

using EntryPoints = vyhid::EntryPointTable;

// One private load of a bridge file.
class LoadedBridge {
 public:
  explicit LoadedBridge(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
  ~LoadedBridge() { Unload(); }
  LoadedBridge(const LoadedBridge&) = delete;
  LoadedBridge& operator=(const LoadedBridge&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const { return dlsym(handle_, name); }
  template <class Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(Symbol(name));
  }
  void Unload() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
  }

  // Resolves every field; returns the first missing name, or "".
  std::string Bind(EntryPoints& hid, SimBridge& sim) const {
    std::string missing;
    auto bind = [&](auto& field, const char* name) {
      field = reinterpret_cast<std::remove_reference_t<decltype(field)>>(Symbol(name));
      if (field == nullptr && missing.empty()) missing = name;
    };
    missing = vyhid::BindEntryPoints(hid, [this](const char* name) { return Symbol(name); });
#define BIND_SIM(name) bind(sim.name, "Sim" #name)
    BIND_SIM(Reset);
    BIND_SIM(AddDevice);
    BIND_SIM(RemoveDevice);
    BIND_SIM(SetDevices);
    BIND_SIM(FireDeviceChange);
    BIND_SIM(LoadDeviceText);
    BIND_SIM(InjectInput);
    BIND_SIM(StartInputStream);
    BIND_SIM(WaitInputStream);
    BIND_SIM(SetReplayPace);
    BIND_SIM(ReplayNext);
    BIND_SIM(SetSendTake);
    BIND_SIM(ScriptOpenResults);
    BIND_SIM(ScriptCloseResults);
    BIND_SIM(ScriptThrow);
    BIND_SIM(ScriptError);
    BIND_SIM(SetInputReport);
    BIND_SIM(SetFeatureReport);
    BIND_SIM(SetEcho);
    BIND_SIM(CallCount);
    BIND_SIM(GetCall);
    BIND_SIM(ClearLog);
    BIND_SIM(OpenDevice);
#undef BIND_SIM
    return missing;
  }

 private:
  void* handle_;
};

// What the callbacks received. The callbacks are plain functions, so the
// recorder is one object for the whole test program, reset by each test.
struct Received {
  THIDreport Report;
  std::uint8_t BytesCount;
  std::uint64_t ThreadId;
};

class CallbackRecorder {
 public:
  void Clear() {
    std::lock_guard lock(mutex_);
    inputs_.clear();
    inputCount_ = 0;
    deviceChanges_.clear();
  }
  void OnInput(const THIDreport& report, std::uint8_t count) {
    {
      std::lock_guard lock(mutex_);
      ++inputCount_;
      // Keeping the first reports is enough; long streams are only counted.
      if (inputs_.size() < 4096) inputs_.push_back({report, count, ThisThread()});
    }
    changed_.notify_all();
  }
  void OnDeviceChange() {
    std::lock_guard lock(mutex_);
    deviceChanges_.push_back(ThisThread());
  }
  void WaitForInputs(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return inputCount_ >= n; });
  }
  std::vector<Received> Inputs() {
    std::lock_guard lock(mutex_);
    return inputs_;
  }
  std::uint64_t InputCount() {
    std::lock_guard lock(mutex_);
    return inputCount_;
  }
  std::vector<std::uint64_t> DeviceChanges() {
    std::lock_guard lock(mutex_);
    return deviceChanges_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> inputs_;
  std::uint64_t inputCount_ = 0;
  std::vector<std::uint64_t> deviceChanges_;
};

CallbackRecorder recorder;

void VYHID_STDCALL RecordInput(THIDreport report, std::uint8_t count) {
  recorder.OnInput(report, count);
}
void VYHID_STDCALL RecordDeviceChange() {
  recorder.OnDeviceChange();
}

THIDdeviceInfo Keyboard() {
  THIDdeviceInfo d = SimMakeDevice("/dev/test/kbd", 0x1209, 0x0001, "Keyboard", "Test");
  SimAddReport(d, vyhid::ReportKind::kInput, 0, 8);
  SimAddReport(d, vyhid::ReportKind::kOutput, 0, 1);
  return d;
}
THIDdeviceInfo Vendor() {
  THIDdeviceInfo d = SimMakeDevice("/dev/test/vendor", 0x1209, 0x0003, "Vendor", "Test");
  SimAddReport(d, vyhid::ReportKind::kInput, 0, 64);
  SimAddReport(d, vyhid::ReportKind::kOutput, 0, 64);
  SimAddReport(d, vyhid::ReportKind::kFeature, 1, 64);
  return d;
}

class SimBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder.Clear();
    bridge_ = std::make_unique<LoadedBridge>(VYHID_SIM_BRIDGE_PATH);
    ASSERT_TRUE(bridge_->Loaded()) << dlerror();
    ASSERT_EQ(bridge_->Bind(hid, sim), "");
    sim.Reset();
    hid.HIDsetEventHandler(RecordInput);
    hid.USBsetEventHandler(RecordDeviceChange);
    sim.ClearLog();
  }
  void TearDown() override { bridge_.reset(); }

  std::vector<SimCall> Log() {
    std::vector<SimCall> calls(static_cast<std::size_t>(sim.CallCount()));
    for (std::size_t i = 0; i < calls.size(); ++i) {
      EXPECT_TRUE(sim.GetCall(static_cast<std::int32_t>(i), &calls[i]));
    }
    return calls;
  }

  void AddDevices(std::initializer_list<THIDdeviceInfo> devices) {
    for (const THIDdeviceInfo& d : devices) sim.AddDevice(&d);
  }

  std::unique_ptr<LoadedBridge> bridge_;
  EntryPoints hid{};
  SimBridge sim{};
};

TEST_F(SimBridgeTest, OpensListedDevicesOneAtATime) {
  AddDevices({Keyboard(), Vendor()});
  EXPECT_EQ(hid.HIDscanForDevices(), 2);
  EXPECT_EQ(hid.HIDcloseDevice(), 0) << "nothing open yet";
  EXPECT_EQ(hid.HIDopenDevice(2), 0) << "not listed";
  EXPECT_EQ(sim.OpenDevice(), -1);

  EXPECT_EQ(hid.HIDopenDevice(0), 1);
  EXPECT_EQ(sim.OpenDevice(), 0);
  EXPECT_EQ(hid.HIDopenDevice(1), 1);
  EXPECT_EQ(sim.OpenDevice(), 1);
  EXPECT_EQ(hid.HIDopenDevice(7), 0) << "a failed open leaves nothing open";
  EXPECT_EQ(sim.OpenDevice(), -1);

  EXPECT_EQ(hid.HIDopenDevice(1), 1);
  EXPECT_EQ(hid.HIDcloseDevice(), 1);
  EXPECT_EQ(hid.HIDcloseDevice(), 0);
  EXPECT_EQ(sim.OpenDevice(), -1);
}

TEST_F(SimBridgeTest, DeviceInfoIsTheRecordAsAddedAndZerosBeyondTheList) {
  const THIDdeviceInfo vendor = Vendor();
  AddDevices({Keyboard(), vendor});
  THIDdeviceInfo got;
  std::memset(&got, 0xAA, sizeof got);
  hid.HIDGetDeviceInfo(1, &got);
  EXPECT_TRUE(SameBytes(&got, &vendor, sizeof got));

  const THIDdeviceInfo zero{};
  for (const std::uint8_t nr : {2, 255}) {
    std::memset(&got, 0xAA, sizeof got);
    hid.HIDGetDeviceInfo(nr, &got);
    EXPECT_TRUE(SameBytes(&got, &zero, sizeof got)) << "device " << int{nr};
  }
  hid.HIDGetDeviceInfo(0, nullptr);  // ignored, not a crash
}

TEST_F(SimBridgeTest, SizeQueriesAnswerForTheOpenDeviceClampedTo255) {
  THIDdeviceInfo big = SimMakeDevice("/dev/test/big", 1, 2);
  SimSetBufferSizes(big, 300, 256, 255);
  AddDevices({Keyboard(), big});
  EXPECT_EQ(hid.HIDOutputReportSize(), 0);
  EXPECT_EQ(hid.HIDInputReportSize(), 0);
  EXPECT_EQ(hid.HIDFeatureReportSize(), 0);

  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  EXPECT_EQ(hid.HIDOutputReportSize(), 2);
  EXPECT_EQ(hid.HIDInputReportSize(), 9);
  EXPECT_EQ(hid.HIDFeatureReportSize(), 0);

  ASSERT_EQ(hid.HIDopenDevice(1), 1);
  EXPECT_EQ(hid.HIDOutputReportSize(), 255);
  EXPECT_EQ(hid.HIDInputReportSize(), 255);
  EXPECT_EQ(hid.HIDFeatureReportSize(), 255);

  hid.HIDcloseDevice();
  EXPECT_EQ(hid.HIDInputReportSize(), 0);
}

TEST_F(SimBridgeTest, SendsReturnTheConfiguredTakeOnAnOpenDevice) {
  AddDevices({Vendor()});
  THIDreport report = MakeReport(1, {1, 2, 3});
  EXPECT_EQ(hid.HIDSetOutputReport(&report), 0) << "no device open";
  EXPECT_EQ(hid.HIDSetFeatureReport(&report), 0) << "no device open";

  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  EXPECT_EQ(hid.HIDSetOutputReport(&report), 64) << "default take";
  for (const auto& [k, expected] : {std::pair{8, 8}, {0, 0}, {255, 255}, {300, 255}, {-5, 0}}) {
    sim.SetSendTake(k);
    EXPECT_EQ(hid.HIDSetOutputReport(&report), expected) << "k = " << k;
    EXPECT_EQ(hid.HIDSetFeatureReport(&report), expected) << "k = " << k;
  }
  EXPECT_EQ(hid.HIDSetOutputReport(nullptr), 0);
}

TEST_F(SimBridgeTest, FetchesFillWhatIsStoredForTheReportId) {
  AddDevices({Vendor()});
  const THIDreport stored = MakeReport(3, {0xAB, 0xCD, 0xEF});
  sim.SetInputReport(&stored, 9);
  THIDreport fetched = MakeReport(3, {0x11, 0x22, 0x33, 0x44});
  EXPECT_EQ(hid.HIDGetInputReport(&fetched), 0) << "no device open";
  EXPECT_EQ(fetched.Data[3], 0x44) << "record left alone";

  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  EXPECT_EQ(hid.HIDGetInputReport(&fetched), 9);
  EXPECT_EQ(fetched.ReportID, 3);
  EXPECT_TRUE(SameBytes(&fetched, &stored, sizeof fetched));

  THIDreport other = MakeReport(4, {0x11});
  EXPECT_EQ(hid.HIDGetInputReport(&other), 0);
  EXPECT_EQ(other.ReportID, 4);
  EXPECT_TRUE(SameReport(other, MakeReport(4, {})));

  // A feature report sent is read back as far as the device took it.
  sim.SetSendTake(2);
  THIDreport sent = MakeReport(1, {7, 8, 9});
  ASSERT_EQ(hid.HIDSetFeatureReport(&sent), 2);
  THIDreport feature = MakeReport(1, {0x55, 0x55, 0x55});
  EXPECT_EQ(hid.HIDGetFeatureReport(&feature), 2);
  EXPECT_TRUE(SameReport(feature, MakeReport(1, {7, 8})));

  const THIDreport replaced = MakeReport(1, {0x42});
  sim.SetFeatureReport(&replaced, 33);
  EXPECT_EQ(hid.HIDGetFeatureReport(&feature), 33);
  EXPECT_EQ(feature.Data[0], 0x42);
}

TEST_F(SimBridgeTest, ScriptedResultsAreUsedOnceInOrder) {
  AddDevices({Keyboard()});
  const std::uint8_t opens[] = {0, 2, 1};
  sim.ScriptOpenResults(opens, 3);
  EXPECT_EQ(hid.HIDopenDevice(0), 0);
  EXPECT_EQ(sim.OpenDevice(), -1);
  EXPECT_EQ(hid.HIDopenDevice(0), 2) << "any non-zero byte is passed on";
  EXPECT_EQ(sim.OpenDevice(), 0);
  EXPECT_EQ(hid.HIDopenDevice(9), 1) << "scripted success for an unlisted number";
  EXPECT_EQ(sim.OpenDevice(), -1);
  EXPECT_EQ(hid.HIDopenDevice(9), 0) << "script used up";

  const std::uint8_t closes[] = {0, 1};
  sim.ScriptCloseResults(closes, 2);
  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  EXPECT_EQ(hid.HIDcloseDevice(), 0);
  EXPECT_EQ(sim.OpenDevice(), -1) << "closed all the same";
  EXPECT_EQ(hid.HIDcloseDevice(), 1);
  EXPECT_EQ(hid.HIDcloseDevice(), 0);
}

TEST_F(SimBridgeTest, ScriptedThrowsPropagateThroughEveryExport) {
  AddDevices({Vendor()});
  THIDreport report{};
  THIDdeviceInfo info{};
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"HIDscanForDevices", [&] { hid.HIDscanForDevices(); }},
      {"HIDGetDeviceInfo", [&] { hid.HIDGetDeviceInfo(0, &info); }},
      {"HIDcloseDevice", [&] { hid.HIDcloseDevice(); }},
      {"HIDopenDevice", [&] { hid.HIDopenDevice(0); }},
      {"USBsetEventHandler", [&] { hid.USBsetEventHandler(RecordDeviceChange); }},
      {"HIDsetEventHandler", [&] { hid.HIDsetEventHandler(RecordInput); }},
      {"HIDOutputReportSize", [&] { hid.HIDOutputReportSize(); }},
      {"HIDInputReportSize", [&] { hid.HIDInputReportSize(); }},
      {"HIDFeatureReportSize", [&] { hid.HIDFeatureReportSize(); }},
      {"HIDGetInputReport", [&] { hid.HIDGetInputReport(&report); }},
      {"HIDGetFeatureReport", [&] { hid.HIDGetFeatureReport(&report); }},
      {"HIDSetOutputReport", [&] { hid.HIDSetOutputReport(&report); }},
      {"HIDSetFeatureReport", [&] { hid.HIDSetFeatureReport(&report); }},
  };
  sim.ScriptThrow("NoSuchEntryPoint");
  for (const auto& [name, call] : calls) {
    sim.ScriptThrow(name);
    EXPECT_THROW(call(), std::runtime_error) << name;
    EXPECT_NO_THROW(call()) << name << ": one throw per script";
  }
  hid.HIDcloseDevice();
  sim.ScriptThrow("HIDopenDevice");
  try {
    hid.HIDopenDevice(0);
    ADD_FAILURE() << "no throw";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("HIDopenDevice"), std::string::npos) << e.what();
  }
  EXPECT_EQ(sim.OpenDevice(), -1) << "a call that throws does nothing";
  const std::vector<SimCall> log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_STREQ(log.back().Name, "HIDopenDevice");
  EXPECT_EQ(log.back().Result, -1);
}

TEST_F(SimBridgeTest, ScriptedErrorsFailOneCallAndLeaveTheirReason) {
  AddDevices({Vendor()});
  const auto lastError = bridge_->Get<tHIDlastError>(vyhid::kLastErrorExport);
  ASSERT_NE(lastError, nullptr);
  sim.ScriptError("NoSuchEntryPoint", EIO, "ignored");
  sim.ScriptError("HIDopenDevice", EBUSY, "held by another program");
  EXPECT_EQ(hid.HIDopenDevice(0), 0);
  EXPECT_EQ(sim.OpenDevice(), -1) << "a scripted failure does nothing";
  char text[8];  // cut to fit
  EXPECT_EQ(lastError(text, sizeof text), EBUSY);
  EXPECT_STREQ(text, "held by");
  EXPECT_EQ(Log().back().Result, 0);
  EXPECT_EQ(hid.HIDopenDevice(0), 1) << "one failure per script";
  EXPECT_EQ(lastError(text, sizeof text), 0) << "each call forgets the last failure";
  EXPECT_STREQ(text, "");
}

// A device of a device file is held to the reports it declares, as hardware
// is; a record added through the control API is not (the tests above).
TEST_F(SimBridgeTest, ADeviceFromAFileRefusesUndeclaredReportsAndKeepsDeclaredSizes) {
  ASSERT_EQ(sim.LoadDeviceText("device\nsymlink /dev/sim/v\ninput 0 4\noutput 0 8\n"
                               "feature 1 64\nfeature 2 8\ninput-report 0 0a 0b\n",
                               nullptr, 0),
            1);
  const auto lastError = bridge_->Get<tHIDlastError>(vyhid::kLastErrorExport);
  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  char why[128];
  THIDreport r = MakeReport(7, {1, 2, 3});
  EXPECT_EQ(hid.HIDSetOutputReport(&r), 0);
  EXPECT_EQ(lastError(why, sizeof why), EINVAL);
  EXPECT_STREQ(why, "/dev/sim/v: the device has no output report with ID 7");
  r.ReportID = 5;
  EXPECT_EQ(hid.HIDSetFeatureReport(&r), 0);
  EXPECT_EQ(lastError(why, sizeof why), EINVAL);
  EXPECT_STREQ(why, "/dev/sim/v: the device has no feature report with ID 5");

  r = MakeReport(0, {});
  std::memset(r.Data.Bytes, 0x55, sizeof r.Data.Bytes);
  EXPECT_EQ(hid.HIDSetOutputReport(&r), 8) << "a report takes its declared size";
  r.ReportID = 2;
  EXPECT_EQ(hid.HIDSetFeatureReport(&r), 8);
  THIDreport got = MakeReport(2, {});
  EXPECT_EQ(hid.HIDGetFeatureReport(&got), 8) << "and returns it";
  EXPECT_EQ(got.Data[7], 0x55);
  EXPECT_EQ(got.Data[8], 0) << "what the device did not take it does not keep";
  got.ReportID = 1;
  EXPECT_EQ(hid.HIDGetFeatureReport(&got), 64) << "nothing stored: zeros of the declared size";
  got.ReportID = 0;
  EXPECT_EQ(hid.HIDGetInputReport(&got), 4);
  EXPECT_TRUE(SameReport(got, MakeReport(0, {0x0a, 0x0b}))) << "as the file gives it";
}

TEST_F(SimBridgeTest, InputEveryPeriodComesFromTheBridgeThreadWhileTheDeviceIsOpen) {
  ASSERT_EQ(sim.LoadDeviceText("device\nsymlink /a\ninput 3 6\ninput every 10ms 3 01 02 fe\n",
                               nullptr, 0),
            1);
  EXPECT_EQ(recorder.InputCount(), 0u);
  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  recorder.WaitForInputs(3);
  EXPECT_EQ(hid.HIDcloseDevice(), 1);
  sim.Reset();  // waits for a delivery under way
  const std::vector<Received> got = recorder.Inputs();
  for (const Received& input : got) {
    EXPECT_TRUE(SameReport(input.Report, MakeReport(3, {1, 2, 0xfe})));
    EXPECT_EQ(input.BytesCount, 6);
    EXPECT_NE(input.ThreadId, ThisThread());
  }
}

// A recording written by hand reads back as the devices it describes, with
// their descriptors, and replays their reports in order: on command, as fast
// as possible, and at the recorded pace.
TEST_F(SimBridgeTest, ARecordingIsItsDevicesAndReplaysTheirReportsInOrder) {
  std::ifstream file(VYHID_TEST_RECORDING_PATH, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  char error[256] = {};
  ASSERT_EQ(sim.LoadDeviceText(text.c_str(), error, sizeof error), 2) << error;
  ASSERT_EQ(hid.HIDscanForDevices(), 2);

  THIDdeviceInfo mouse;
  THIDdeviceInfo vendor;
  hid.HIDGetDeviceInfo(0, &mouse);
  hid.HIDGetDeviceInfo(1, &vendor);
  EXPECT_EQ(ReadShortString(mouse.SymLink), "usb-0000:00:01.2-1/input0");
  EXPECT_EQ(ReadShortString(mouse.ProductString), "Handwritten Mouse");
  EXPECT_EQ(ReadShortString(vendor.SymLink), "D1 recorded device");  // no P: of its own
  EXPECT_EQ(std::make_tuple(+mouse.VID, +mouse.PID, +vendor.VID, +vendor.PID),
            std::make_tuple(0x1234, 0x5678, 0x1209, 0x0003));
  // Buffer sizes from the descriptors: the longest report + 1.
  EXPECT_EQ(std::make_tuple(+mouse.InputBufferSize, +mouse.OutputBufferSize),
            std::make_tuple(4, 0));
  EXPECT_EQ(std::make_tuple(+vendor.InputBufferSize, +vendor.OutputBufferSize),
            std::make_tuple(101, 65));
  EXPECT_EQ(SimDeclaredBytes(vendor, vyhid::ReportKind::kInput, 2), 4u);

  const auto descriptorOf = bridge_->Get<tHIDGetReportDescriptor>(vyhid::kReportDescriptorExport);
  const auto lastError = bridge_->Get<tHIDlastError>(vyhid::kLastErrorExport);
  ASSERT_NE(descriptorOf, nullptr);
  std::uint8_t bytes[vyhid::kMaxReportDescriptorBytes] = {};
  EXPECT_EQ(descriptorOf(1, nullptr, 0), 39);
  EXPECT_EQ(descriptorOf(0, bytes, 4), 50);  // a short buffer gets the start
  EXPECT_TRUE(SameBytes(bytes, "\x05\x01\x09\x02\x00", 5));
  EXPECT_EQ(descriptorOf(2, bytes, sizeof bytes), -1);
  EXPECT_EQ(lastError(nullptr, 0), ENOENT);

  // On command: nothing comes until let go; the 100-byte report comes in
  // two pieces, its ID apart.
  sim.SetReplayPace(kSimReplayOnCommand);
  ASSERT_EQ(hid.HIDopenDevice(1), 1);
  EXPECT_EQ(sim.ReplayNext(0), 2);
  sim.WaitInputStream();
  EXPECT_EQ(recorder.InputCount(), 0u);
  EXPECT_EQ(sim.ReplayNext(1), 2);
  sim.WaitInputStream();
  std::vector<Received> got = recorder.Inputs();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(std::make_tuple(+got[0].Report.ReportID, +got[0].BytesCount, +got[0].Report.Data[63]),
            std::make_tuple(1, 64, 63));
  EXPECT_EQ(std::make_tuple(+got[1].Report.ReportID, +got[1].BytesCount, +got[1].Report.Data[0]),
            std::make_tuple(1, 36, 64));
  // As fast as possible: the rest at once; then the device has no more.
  sim.SetReplayPace(kSimReplayFast);
  sim.WaitInputStream();
  got = recorder.Inputs();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(SameReport(got[2].Report, MakeReport(2, {0x0a, 0x0b, 0x0c, 0x0d})));
  EXPECT_EQ(sim.ReplayNext(1), 0);

  // At the recorded pace: the mouse's second report no sooner than 100 ms
  // after its first, which comes at the open.
  recorder.Clear();
  sim.SetReplayPace(kSimReplayRecordedPace);
  const auto opened = std::chrono::steady_clock::now();
  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  recorder.WaitForInputs(2);
  EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(100));
  sim.WaitInputStream();
  got = recorder.Inputs();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(SameReport(got[0].Report, MakeReport(0, {0x01, 0xfd, 0x02})));
  EXPECT_TRUE(SameReport(got[1].Report, MakeReport(0, {0x00, 0x03, 0xfe})));
  EXPECT_TRUE(SameReport(got[2].Report, MakeReport(0, {0x04, 0x00, 0x00})));
  EXPECT_EQ(sim.ReplayNext(1), 0);

  // A device added without a recording has no descriptor to give.
  AddDevices({Keyboard()});
  EXPECT_EQ(descriptorOf(2, bytes, sizeof bytes), -1);
  EXPECT_EQ(lastError(nullptr, 0), ENODATA);
}

TEST_F(SimBridgeTest, LogRecordsEveryCallWithArgumentResultReportAndThread) {
  AddDevices({Keyboard()});
  THIDdeviceInfo info;
  THIDreport out = MakeReport(7, {1, 2, 3});
  hid.HIDscanForDevices();
  hid.HIDGetDeviceInfo(0, &info);
  hid.HIDopenDevice(0);
  hid.HIDSetOutputReport(&out);
  out.Data[0] = 99;  // the log keeps the report as it was passed
  std::uint64_t otherThread = 0;
  std::thread([&] {
    otherThread = ThisThread();
    hid.HIDcloseDevice();
  }).join();
  sim.AddDevice(&info);  // control calls are not logged

  const std::vector<SimCall> log = Log();
  ASSERT_EQ(log.size(), 5u);
  const std::vector<std::tuple<std::string, int, int>> expected = {{"HIDscanForDevices", -1, 1},
                                                                   {"HIDGetDeviceInfo", 0, -1},
                                                                   {"HIDopenDevice", 0, 1},
                                                                   {"HIDSetOutputReport", -1, 64},
                                                                   {"HIDcloseDevice", -1, 1}};
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].Name, std::get<0>(expected[i]));
    EXPECT_EQ(log[i].Arg, std::get<1>(expected[i])) << log[i].Name;
    EXPECT_EQ(log[i].Result, std::get<2>(expected[i])) << log[i].Name;
    EXPECT_EQ(log[i].ThreadId, i < 4 ? ThisThread() : otherThread) << log[i].Name;
  }
  EXPECT_NE(otherThread, ThisThread());
  EXPECT_TRUE(SameReport(log[3].Report, MakeReport(7, {1, 2, 3})));

  SimCall none;
  EXPECT_EQ(sim.GetCall(5, &none), 0);
  EXPECT_EQ(sim.GetCall(-1, &none), 0);
  sim.ClearLog();
  EXPECT_EQ(sim.CallCount(), 0);
}

TEST_F(SimBridgeTest, DeviceListChangesFireOnTheCallingThreadAndFollowTheOpenDevice) {
  EXPECT_EQ(sim.AddDevice(nullptr), -1);
  const THIDdeviceInfo a = SimMakeDevice("/a", 1, 1), b = SimMakeDevice("/b", 1, 2),
                       c = SimMakeDevice("/c", 1, 3);
  EXPECT_EQ(sim.AddDevice(&a), 0);
  EXPECT_EQ(sim.AddDevice(&b), 1);
  EXPECT_EQ(sim.AddDevice(&c), 2);
  EXPECT_EQ(recorder.DeviceChanges(), std::vector<std::uint64_t>(3, ThisThread()));

  ASSERT_EQ(hid.HIDopenDevice(2), 1);
  sim.RemoveDevice(0);
  EXPECT_EQ(sim.OpenDevice(), 1) << "still device c, now number 1";
  sim.RemoveDevice(5);  // not listed: nothing happens
  EXPECT_EQ(recorder.DeviceChanges().size(), 4u);
  sim.RemoveDevice(1);
  EXPECT_EQ(sim.OpenDevice(), -1) << "removing the open device closes it";
  EXPECT_EQ(hid.HIDscanForDevices(), 1);

  const THIDdeviceInfo list[] = {a, b};
  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  sim.SetDevices(list, 2);
  EXPECT_EQ(sim.OpenDevice(), -1);
  EXPECT_EQ(hid.HIDscanForDevices(), 2);
  sim.FireDeviceChange();
  EXPECT_EQ(recorder.DeviceChanges().size(), 6u) << "SetDevices fires nothing";

  std::vector<THIDdeviceInfo> many(300, a);
  sim.SetDevices(many.data(), 300);
  EXPECT_EQ(hid.HIDscanForDevices(), 255);
  EXPECT_EQ(sim.AddDevice(&a), -1) << "the list is full";
}

TEST_F(SimBridgeTest, InjectedInputArrivesOnTheCallingThreadIntact) {
  THIDreport report = MakeReport(2, {});
  for (std::size_t i = 0; i < 64; ++i) report.Data[i] = static_cast<std::uint8_t>(0xC0 + i);
  sim.InjectInput(&report, 65);
  const std::vector<Received> got = recorder.Inputs();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(SameBytes(&got[0].Report, &report, sizeof report));
  EXPECT_EQ(got[0].BytesCount, 65);
  EXPECT_EQ(got[0].ThreadId, ThisThread());
}

TEST_F(SimBridgeTest, InputStreamsDeliverExactlyTheirCountOnTheBridgeThread) {
  const THIDreport first = MakeReport(1, {0x10, 0x20});
  const THIDreport second = MakeReport(2, {0x30});
  sim.StartInputStream(&first, 3, 1000);
  sim.StartInputStream(&second, 2, 500);
  sim.StartInputStream(&second, 2, 0);
  sim.WaitInputStream();
  EXPECT_EQ(recorder.InputCount(), 1500u);
  const std::vector<Received> got = recorder.Inputs();
  ASSERT_EQ(got.size(), 1500u);
  const std::uint64_t bridgeThread = got[0].ThreadId;
  EXPECT_NE(bridgeThread, ThisThread());
  for (std::size_t i = 0; i < got.size(); ++i) {
    const bool inFirst = i < 1000;
    ASSERT_TRUE(SameBytes(&got[i].Report, inFirst ? &first : &second, sizeof(THIDreport))) << i;
    ASSERT_EQ(got[i].BytesCount, inFirst ? 3 : 2) << i;
    ASSERT_EQ(got[i].ThreadId, bridgeThread) << i;
  }
}

TEST_F(SimBridgeTest, EchoSendsTakenOutputBackAsInput) {
  AddDevices({Keyboard()});
  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  THIDreport out = MakeReport(5, {1, 2, 3, 4, 5, 6});
  hid.HIDSetOutputReport(&out);
  sim.WaitInputStream();
  EXPECT_EQ(recorder.InputCount(), 0u) << "echo is off by default";

  sim.SetEcho(1);
  sim.SetSendTake(4);
  hid.HIDSetOutputReport(&out);
  sim.SetSendTake(0);
  hid.HIDSetOutputReport(&out);  // nothing taken, nothing echoed
  sim.WaitInputStream();
  const std::vector<Received> got = recorder.Inputs();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(SameReport(got[0].Report, MakeReport(5, {1, 2, 3, 4})));
  EXPECT_EQ(got[0].BytesCount, 4);
  EXPECT_NE(got[0].ThreadId, ThisThread());

  // A device read with "echo on" echoes without the switch.
  sim.SetEcho(0);
  sim.SetSendTake(64);
  ASSERT_EQ(sim.LoadDeviceText("device\nsymlink /e\noutput 5 8\necho on\n", nullptr, 0), 1);
  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  hid.HIDSetOutputReport(&out);
  sim.WaitInputStream();
  EXPECT_EQ(recorder.InputCount(), 2u);
}

TEST_F(SimBridgeTest, DeviceTextReplacesTheListOnlyWhenValid) {
  AddDevices({Keyboard()});
  char error[16];
  std::memset(error, 'x', sizeof error);
  EXPECT_EQ(sim.LoadDeviceText("device\nvid 1\n", error, sizeof error), -1);
  EXPECT_STREQ(error, "line 1: device ") << "cut to fit, NUL-terminated";
  EXPECT_EQ(hid.HIDscanForDevices(), 1) << "list unchanged";
  EXPECT_EQ(sim.LoadDeviceText(nullptr, error, sizeof error), -1);
  error[0] = 'x';
  EXPECT_EQ(sim.LoadDeviceText("junk", error, 0), -1);
  EXPECT_EQ(error[0], 'x') << "no room, nothing written";

  ASSERT_EQ(hid.HIDopenDevice(0), 1);
  EXPECT_EQ(sim.LoadDeviceText("device\nsymlink /x\ndevice\nsymlink /y\n", nullptr, 0), 2);
  EXPECT_EQ(sim.OpenDevice(), -1);
  THIDdeviceInfo info;
  hid.HIDGetDeviceInfo(1, &info);
  EXPECT_EQ(ReadShortString(info.SymLink), "/y");
  EXPECT_EQ(sim.LoadDeviceText("# nothing\n", nullptr, 0), 0);
  EXPECT_EQ(hid.HIDscanForDevices(), 0);
}

TEST_F(SimBridgeTest, ResetRestoresTheDefaults) {
  AddDevices({Keyboard()});
  hid.HIDopenDevice(0);
  sim.SetSendTake(3);
  sim.SetEcho(1);
  const std::uint8_t fail = 0;
  sim.ScriptOpenResults(&fail, 1);
  sim.ScriptThrow("HIDscanForDevices");
  const THIDreport stored = MakeReport(0, {9});
  sim.SetInputReport(&stored, 1);
  sim.Reset();

  EXPECT_EQ(sim.OpenDevice(), -1);
  EXPECT_EQ(sim.CallCount(), 0);
  EXPECT_EQ(hid.HIDscanForDevices(), 0);
  AddDevices({Keyboard()});
  EXPECT_EQ(hid.HIDopenDevice(0), 1);
  THIDreport r = MakeReport(0, {1});
  EXPECT_EQ(hid.HIDSetOutputReport(&r), 64);
  EXPECT_EQ(hid.HIDGetInputReport(&r), 0);
  sim.WaitInputStream();
  EXPECT_EQ(recorder.InputCount(), 0u) << "no echo";
  EXPECT_EQ(recorder.DeviceChanges().size(), 2u) << "callbacks stay installed";
}

// Every function at once from several threads; run under ThreadSanitizer this
// finds unguarded state.
TEST_F(SimBridgeTest, EverythingIsSafeToCallConcurrently) {
  AddDevices({Keyboard(), Vendor()});
  constexpr int kRounds = 300;
  std::atomic<int> entryCalls{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    THIDdeviceInfo info;
    for (int i = 0; i < kRounds; ++i) {
      hid.HIDopenDevice(static_cast<std::uint8_t>(i % 3));
      hid.HIDGetDeviceInfo(static_cast<std::uint8_t>(i % 3), &info);
      hid.HIDInputReportSize();
      hid.HIDcloseDevice();
      entryCalls += 4;
    }
  });
  threads.emplace_back([&] {
    THIDreport r = MakeReport(1, {1, 2});
    for (int i = 0; i < kRounds; ++i) {
      hid.HIDSetOutputReport(&r);
      hid.HIDSetFeatureReport(&r);
      hid.HIDGetFeatureReport(&r);
      entryCalls += 3;
    }
  });
  threads.emplace_back([&] {
    const THIDdeviceInfo extra = SimMakeDevice("/extra", 2, 2);
    for (int i = 0; i < kRounds; ++i) {
      const std::int32_t at = sim.AddDevice(&extra);
      sim.RemoveDevice(at);
      sim.SetEcho(i % 2);
      sim.SetSendTake(i % 65);
    }
  });
  threads.emplace_back([&] {
    const THIDreport r = MakeReport(3, {3});
    for (int i = 0; i < kRounds; ++i) {
      sim.StartInputStream(&r, 1, 2);
      sim.InjectInput(&r, 1);
      if (i % 50 == 0) sim.WaitInputStream();
    }
  });
  for (std::thread& t : threads) t.join();
  sim.WaitInputStream();
  EXPECT_EQ(sim.CallCount(), entryCalls.load());
  EXPECT_GE(recorder.InputCount(), 3u * kRounds) << "streams and injections, plus echoes";
}

TEST(SimBridgeUnload, UnloadingStopsAndJoinsTheBridgeThread) {
  recorder.Clear();
  auto bridge = std::make_unique<LoadedBridge>(VYHID_SIM_BRIDGE_PATH);
  ASSERT_TRUE(bridge->Loaded());
  EntryPoints hid{};
  SimBridge sim{};
  ASSERT_EQ(bridge->Bind(hid, sim), "");
  hid.HIDsetEventHandler(RecordInput);
  const THIDreport report = MakeReport(1, {1});
  sim.StartInputStream(&report, 1, UINT64_MAX);  // runs until stopped
  recorder.WaitForInputs(10);
  const std::uint64_t bridgeThread = recorder.Inputs().front().ThreadId;
  const std::filesystem::path task = "/proc/self/task/" + std::to_string(bridgeThread);
  ASSERT_TRUE(std::filesystem::exists(task));

  bridge.reset();  // dlclose
  EXPECT_EQ(dlopen(VYHID_SIM_BRIDGE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "the library was unloaded";
  EXPECT_FALSE(std::filesystem::exists(task)) << "its thread was joined before dlclose returned";
}

TEST(SimBridgeEnvironment, ADeviceFileNamedInTheEnvironmentIsReadAtLoad) {
  ASSERT_EQ(setenv("VYHID_SIM_DEVICES", VYHID_SIM_DEFAULT_DEVICES_PATH, 1), 0);
  {
    LoadedBridge bridge(VYHID_SIM_BRIDGE_PATH);
    ASSERT_TRUE(bridge.Loaded());
    EXPECT_EQ(bridge.Get<tHIDscanForDevices>("HIDscanForDevices")(), 3);
  }
  ASSERT_EQ(setenv("VYHID_SIM_DEVICES", "/nonexistent/devices.txt", 1), 0);
  {
    LoadedBridge bridge(VYHID_SIM_BRIDGE_PATH);
    ASSERT_TRUE(bridge.Loaded());
    EXPECT_EQ(bridge.Get<tHIDscanForDevices>("HIDscanForDevices")(), 0);
  }
  ASSERT_EQ(setenv("VYHID_SIM_DEVICES", "", 1), 0);
  {
    LoadedBridge bridge(VYHID_SIM_BRIDGE_PATH);
    EXPECT_EQ(bridge.Get<tHIDscanForDevices>("HIDscanForDevices")(), 0) << "set, empty: none";
  }
  unsetenv("VYHID_SIM_DEVICES");
  {
    LoadedBridge bridge(VYHID_SIM_BRIDGE_PATH);
    EXPECT_EQ(bridge.Get<tHIDscanForDevices>("HIDscanForDevices")(), 3)
        << "unset: the bundled devices/default.txt beside the library";
  }
}

TEST(SimBridgeVariant, LacksExactlyHIDSetFeatureReport) {
  LoadedBridge full(VYHID_SIM_BRIDGE_PATH);
  LoadedBridge variant(VYHID_SIM_BRIDGE_NOSETFEATURE_PATH);
  ASSERT_TRUE(full.Loaded());
  ASSERT_TRUE(variant.Loaded()) << dlerror();
  EntryPoints hid{};
  SimBridge sim{};
  EXPECT_EQ(full.Bind(hid, sim), "");
  EXPECT_EQ(variant.Bind(hid, sim), "HIDSetFeatureReport");
  EXPECT_NE(full.Symbol("HIDSetFeatureReport"), nullptr);
  EXPECT_EQ(variant.Symbol("HIDSetFeatureReport"), nullptr);
  // Everything bound after the missing one resolved in the variant as well.
  EXPECT_NE(sim.OpenDevice, nullptr);
  EXPECT_EQ(sim.OpenDevice(), -1);
}

}  // namespace
