// Test support for TVyHID against the simulated bridge.
//
// SimBridgeTest loads the simulated bridge by path before each test (so that
// the component's load by bare name finds it), resets it, captures every
// ShowMessage text, runs the thread's timers on a ManualClock, and checks
// afterwards that no component, window or timer was left behind.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "EntryPoints.h"
#include "SimControl.h"
#include "VyHID.h"
#include "rtl/DynLib.h"
#include "rtl/Messages.h"
#include "vcl/Dialogs.h"

namespace vyhid_test {

// Paths of the simulated bridge builds, fixed at configure time.
const char* SimBridgePath();
const char* SimBridgeNoSetFeaturePath();

// A device record for the simulated bridge. Every field not given is zero.
struct DeviceSpec {
  std::string Path{};  // SymLink, the device's identity (first 99 bytes)
  std::uint16_t VID = 0;
  std::uint16_t PID = 0;
  std::uint16_t Version = 0;
  std::string Manufacturer{};  // UTF-8
  std::string Product{};       // UTF-8
  std::string Serial{};
  std::uint16_t OutputBufferSize = 0;
  std::uint16_t InputBufferSize = 0;
  std::uint16_t FeatureBufferSize = 0;
  std::vector<TReportCapabilities> OutputCaps{};  // up to 10 entries each
  std::vector<TReportCapabilities> InputCaps{};
  std::vector<TReportCapabilities> FeatureCaps{};
  bool ReadWrite = true;
};
THIDdeviceInfo MakeDevice(const DeviceSpec& spec);
// A plain device with output, input and feature report 1 of 64 bytes.
THIDdeviceInfo MakeSimpleDevice(std::string_view path, std::uint16_t vid = 0x1234,
                                std::uint16_t pid = 0x5678);

// Events in the order they came, safe from any thread.
class EventLog {
 public:
  void Add(std::string event);
  std::vector<std::string> Events() const;
  // The events so far, leaving the log empty.
  std::vector<std::string> Take();
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

// Binds all four events of hid to log entries:
//   "DevClose", "DevOpen <DevNr>", "AfterDevScan <DevCount>",
//   "GetHIDData <BytesCount>".
void RecordEvents(TVyHID& hid, EventLog& log);

// Text of a String, for readable test failures.
std::string Utf8(const rtl::String& s);

// While alive, collects every ShowMessage text instead of showing it.
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;
  std::vector<rtl::String> Messages() const;

 private:
  vcl::TMessagePresenter previous_;
  mutable std::mutex mutex_;
  std::vector<rtl::String> messages_;
};

class SimBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs everything pending on this thread: posted messages, due timers.
  void Pump();
  // Moves the manual clock on and runs what became due.
  void Advance(std::chrono::milliseconds delta);

  // Replaces the simulated devices without any device-change callback.
  void SetDevices(const std::vector<THIDdeviceInfo>& devices);
  // The names of the entry points called since the last ClearCalls().
  std::vector<std::string> CallNames() const;
  std::vector<SimCall> Calls() const;
  void ClearCalls() { sim.ClearLog(); }

  // ShowMessage texts shown since SetUp.
  std::vector<rtl::String> Messages() const { return messages_->Messages(); }

  SimBridge sim{};
  std::unique_ptr<rtl::ManualClock> clock;

 private:
  virtual const char* BridgePath() const { return SimBridgePath(); }

  rtl::HMODULE module_ = 0;
  std::unique_ptr<MessageCapture> messages_;
};

// The same, with the bridge build that lacks HIDSetFeatureReport.
class SimBridgeNoSetFeatureTest : public SimBridgeTest {
 private:
  const char* BridgePath() const override { return SimBridgeNoSetFeaturePath(); }
};

}  // namespace vyhid_test
