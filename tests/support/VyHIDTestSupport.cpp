#include "VyHIDTestSupport.h"

#include <algorithm>
#include <utility>

#include "RecordBuilder.h"
#include "vcl/Forms.h"

namespace vyhid_test {

const char* SimBridgePath() {
  return VYHID_SIM_BRIDGE_PATH;
}
const char* SimBridgeNoSetFeaturePath() {
  return VYHID_SIM_BRIDGE_NOSETFEATURE_PATH;
}

namespace {

void CopyCaps(TReportCapabilities (&table)[vyhid::kCapabilityEntries],
              const std::vector<TReportCapabilities>& caps) {
  const std::size_t n = std::min(caps.size(), vyhid::kCapabilityEntries);
  for (std::size_t i = 0; i < n; ++i) table[i] = caps[i];
}

}  // namespace

THIDdeviceInfo MakeDevice(const DeviceSpec& spec) {
  THIDdeviceInfo info = vyhid::abi::MakeDeviceRecord({.identity = spec.Path,
                                                      .vendor_id = spec.VID,
                                                      .product_id = spec.PID,
                                                      .version = spec.Version,
                                                      .manufacturer = spec.Manufacturer,
                                                      .product = spec.Product,
                                                      .serial = spec.Serial,
                                                      .read_write = spec.ReadWrite});
  info.OutputBufferSize = spec.OutputBufferSize;
  info.InputBufferSize = spec.InputBufferSize;
  info.FeatureBufferSize = spec.FeatureBufferSize;
  CopyCaps(info.OutputReportCaps, spec.OutputCaps);
  CopyCaps(info.InputReportCaps, spec.InputCaps);
  CopyCaps(info.FeatureReportCaps, spec.FeatureCaps);
  return info;
}

THIDdeviceInfo MakeSimpleDevice(std::string_view path, std::uint16_t vid, std::uint16_t pid) {
  return MakeDevice({.Path = std::string(path),
                     .VID = vid,
                     .PID = pid,
                     .Manufacturer = "ACME",
                     .Product = "Widget",
                     .OutputBufferSize = 65,
                     .InputBufferSize = 65,
                     .FeatureBufferSize = 65,
                     .OutputCaps = {{0, 1, 8, 64}},
                     .InputCaps = {{0, 1, 8, 64}},
                     .FeatureCaps = {{0, 1, 8, 64}}});
}

void EventLog::Add(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<std::string> EventLog::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> EventLog::Take() {
  std::lock_guard lock(mutex_);
  return std::exchange(events_, {});
}

void EventLog::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

void RecordEvents(TVyHID& hid, EventLog& log) {
  hid.OnDevClose = [&log](rtl::TObject*) { log.Add("DevClose"); };
  hid.OnDevOpen = [&log](rtl::TObject*, std::int32_t DevNr, TVyHIDDevInfo) {
    log.Add("DevOpen " + std::to_string(DevNr));
  };
  hid.OnAfterDevScan = [&log](rtl::TObject*, std::int32_t DevCount, THIDinfoArray&) {
    log.Add("AfterDevScan " + std::to_string(DevCount));
  };
  hid.OnGetHIDData = [&log](rtl::TObject*, THIDreport, std::uint8_t BytesCount) {
    log.Add("GetHIDData " + std::to_string(BytesCount));
  };
}

std::string Utf8(const rtl::String& s) {
  return rtl::StringToUtf8(s);
}

MessageCapture::MessageCapture() {
  previous_ = vcl::SetMessagePresenter([this](const rtl::String& msg) {
    std::lock_guard lock(mutex_);
    messages_.push_back(msg);
  });
}

MessageCapture::~MessageCapture() {
  vcl::SetMessagePresenter(std::move(previous_));
}

std::vector<rtl::String> MessageCapture::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

void SimBridgeTest::SetUp() {
  messages_ = std::make_unique<MessageCapture>();
  clock = std::make_unique<rtl::ManualClock>();
  std::string error;
  ASSERT_TRUE(LoadSimBridge(rtl::Utf8ToString(BridgePath()), sim, module_, &error))
      << BridgePath() << ": " << error;
  sim.Reset();
}

void SimBridgeTest::TearDown() {
  // Leftovers of a test would disturb the next one.
  EXPECT_EQ(aVyHID.load(), nullptr) << "a component outlived the test";
  EXPECT_EQ(rtl::LiveWindowCount(), 0) << "a message window outlived the test";
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 0)
      << "a timer outlived the test";
  if (sim.Reset) sim.Reset();
  Pump();  // drop what the test left queued
  if (module_ != 0) rtl::FreeLibrary(module_);
  module_ = 0;
  sim = SimBridge{};
  clock.reset();
  messages_.reset();
}

void SimBridgeTest::Pump() {
  vcl::Application.ProcessMessages();
}

void SimBridgeTest::Advance(std::chrono::milliseconds delta) {
  clock->Advance(delta);
  Pump();
}

void SimBridgeTest::SetDevices(const std::vector<THIDdeviceInfo>& devices) {
  sim.SetDevices(devices.data(), static_cast<std::int32_t>(devices.size()));
}

std::vector<SimCall> SimBridgeTest::Calls() const {
  std::vector<SimCall> calls;
  const std::int32_t n = sim.CallCount();
  calls.resize(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) sim.GetCall(i, &calls[static_cast<std::size_t>(i)]);
  return calls;
}

std::vector<std::string> SimBridgeTest::CallNames() const {
  std::vector<std::string> names;
  for (const SimCall& call : Calls())
    names.emplace_back(call.Name, strnlen(call.Name, sizeof call.Name));
  return names;
}

}  // namespace vyhid_test
