// The kit's exports over a stand-in bridge: each entry point reaches the
// operation it stands for, with its kind, and what the shim keeps out (a null
// record, an exception) reaches neither the bridge nor the caller.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "ExportShim.h"

using vyhid::ReportKind;

namespace {

struct StandIn {
  std::string calls;
  void Note(const std::string& call) { calls += call + "; "; }
  std::uint8_t Scan() { return Note("Scan"), 2; }
  void DeviceInfo(std::uint8_t nr, THIDdeviceInfo& info) {
    Note("DeviceInfo " + std::to_string(nr));
    if (nr == 0) info.VID = 0x1209;
  }
  bool Open(std::uint8_t nr) { return Note("Open " + std::to_string(nr)), nr == 0; }
  bool Close() { return Note("Close"), true; }
  void SetDeviceChangeHandler(TUSBcallBack) { Note("SetDeviceChangeHandler"); }
  void SetInputHandler(THIDcallBack) { Note("SetInputHandler"); }
  std::uint8_t ReportSize(ReportKind kind) {
    return Note(std::string("ReportSize ") + vyhid::ReportKindName(kind)), 9;
  }
  std::uint8_t GetReport(ReportKind kind, THIDreport& report) {
    Note(std::string("GetReport ") + vyhid::ReportKindName(kind));
    if (report.ReportID == 0xEE) throw std::runtime_error("the device went away");
    return 8;
  }
  std::uint8_t SetReport(ReportKind kind, const THIDreport& /*report*/) {
    return Note(std::string("SetReport ") + vyhid::ReportKindName(kind)), 3;
  }
  std::int32_t ReportDescriptor(std::uint8_t, std::uint8_t*, std::uint32_t) {
    throw std::bad_alloc();
  }
};

StandIn bridge;

}  // namespace

VYHID_DEFINE_BRIDGE_EXPORTS(bridge)

namespace {

std::string LastError() {
  char text[128];
  return std::to_string(HIDlastError(text, sizeof text)) + " " + text;
}

TEST(ExportShim, EachEntryPointReachesItsOperation) {
  bridge.calls.clear();
  THIDreport report{};
  THIDdeviceInfo info{};
  EXPECT_EQ(HIDscanForDevices(), 2);
  HIDGetDeviceInfo(0, &info);
  EXPECT_EQ(info.VID, 0x1209);
  EXPECT_EQ(HIDopenDevice(1), 0);
  EXPECT_EQ(HIDcloseDevice(), 1);
  USBsetEventHandler(nullptr);
  HIDsetEventHandler(nullptr);
  EXPECT_EQ(HIDOutputReportSize() + HIDInputReportSize() + HIDFeatureReportSize(), 27);
  EXPECT_EQ(HIDGetInputReport(&report) + HIDGetFeatureReport(&report), 16);
  EXPECT_EQ(HIDSetOutputReport(&report) + HIDSetFeatureReport(&report), 6);
  EXPECT_EQ(bridge.calls,
            "Scan; DeviceInfo 0; Open 1; Close; SetDeviceChangeHandler; SetInputHandler; "
            "ReportSize output; ReportSize input; ReportSize feature; GetReport input; "
            "GetReport feature; SetReport output; SetReport feature; ");
}

TEST(ExportShim, NullRecordsAndExceptionsStayInside) {
  bridge.calls.clear();
  THIDdeviceInfo info;
  std::memset(&info, 0xAB, sizeof info);
  HIDGetDeviceInfo(1, &info);  // not listed: zeros
  EXPECT_EQ(info.VID, 0);
  EXPECT_EQ(info.HasReadWriteAccess, 0);
  HIDGetDeviceInfo(0, nullptr);
  EXPECT_EQ(HIDGetInputReport(nullptr) + HIDSetFeatureReport(nullptr), 0);
  EXPECT_EQ(bridge.calls, "DeviceInfo 1; ");

  THIDreport report{};
  report.ReportID = 0xEE;
  EXPECT_EQ(HIDGetFeatureReport(&report), 0);
  EXPECT_EQ(LastError(), std::to_string(EIO) + " HIDGetFeatureReport: the device went away");
  EXPECT_EQ(HIDGetReportDescriptor(0, nullptr, 0), -1);  // a failure, not a length of 0
  EXPECT_EQ(LastError(), std::to_string(EIO) + " HIDGetReportDescriptor: std::bad_alloc");
  EXPECT_EQ(HIDscanForDevices(), 2);
  EXPECT_EQ(LastError(), "0 ");  // each call forgets the last failure
}

}  // namespace
