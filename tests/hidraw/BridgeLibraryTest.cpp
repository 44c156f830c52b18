// The built HID_Bridge__.dll, loaded as the component loads it, on whatever
// this machine has (usually no HID device at all).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "EntryPoints.h"
#include "ProcessCounts.h"

namespace {

// The bridge loaded by path, its entry points bound by name.
struct Bridge : vyhid::EntryPointTable {
  Bridge() {
    handle = ::dlopen(VYHID_HIDRAW_BRIDGE, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    missing =
        vyhid::BindEntryPoints(*this, [this](const char* name) { return ::dlsym(handle, name); });
  }
  ~Bridge() {
    if (handle != nullptr) ::dlclose(handle);
  }

  void* handle = nullptr;
  std::string missing;
};

void VYHID_STDCALL OnDeviceChange() {}
void VYHID_STDCALL OnInput(THIDreport, std::uint8_t) {}

TEST(HidrawBridge, ExportsAllEntryPoints) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  EXPECT_EQ(bridge.missing, "");
}

TEST(HidrawBridge, EnumeratesEveryHidrawNode) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  const int count = bridge.HIDscanForDevices();
  EXPECT_EQ(count, CountEntries("/sys/class/hidraw"));
  std::string previous;
  for (int i = 0; i < count; ++i) {
    THIDdeviceInfo info;
    bridge.HIDGetDeviceInfo(static_cast<std::uint8_t>(i), &info);
    const std::string identity(ReadShortString(info.SymLink));
    EXPECT_EQ(identity.find("/dev/hidraw"), std::string::npos) << identity;
    EXPECT_LE(identity.size(), 99u);
    EXPECT_LT(previous, identity) << "identities sorted and distinct";
    previous = identity;
  }
  EXPECT_EQ(bridge.HIDscanForDevices(), count);  // a second scan finds the same
}

TEST(HidrawBridge, RecordOutOfRangeIsAllZero) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  const std::uint8_t count = bridge.HIDscanForDevices();
  if (count == 255) GTEST_SKIP() << "every device number is taken";
  THIDdeviceInfo info;
  std::memset(&info, 0xCC, sizeof info);
  bridge.HIDGetDeviceInfo(count, &info);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
  for (std::size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  bridge.HIDGetDeviceInfo(0, nullptr);  // ignored, no crash
}

TEST(HidrawBridge, CallsWithoutAnOpenDeviceFail) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  const std::uint8_t count = bridge.HIDscanForDevices();
  EXPECT_EQ(bridge.HIDcloseDevice(), 0);
  if (count < 255) {
    EXPECT_EQ(bridge.HIDopenDevice(count), 0);  // no such device
  }
  EXPECT_EQ(bridge.HIDOutputReportSize(), 0);
  EXPECT_EQ(bridge.HIDInputReportSize(), 0);
  EXPECT_EQ(bridge.HIDFeatureReportSize(), 0);
  THIDreport report;
  std::memset(&report, 0x77, sizeof report);
  EXPECT_EQ(bridge.HIDGetInputReport(&report), 0);
  EXPECT_EQ(bridge.HIDGetFeatureReport(&report), 0);
  EXPECT_EQ(bridge.HIDSetOutputReport(&report), 0);
  EXPECT_EQ(bridge.HIDSetFeatureReport(&report), 0);
  EXPECT_EQ(report.Data[0], 0x77);  // untouched
  EXPECT_EQ(bridge.HIDGetInputReport(nullptr), 0);
  EXPECT_EQ(bridge.HIDSetOutputReport(nullptr), 0);
}

TEST(HidrawBridge, AFailedOpenSaysWhyThroughHIDlastError) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  const auto last_error =
      reinterpret_cast<tHIDlastError>(::dlsym(bridge.handle, vyhid::kLastErrorExport));
  ASSERT_NE(last_error, nullptr);
  const std::uint8_t count = bridge.HIDscanForDevices();
  if (count == 255) GTEST_SKIP() << "every device number is taken";
  EXPECT_EQ(last_error(nullptr, 0), 0);  // the scan did not fail
  EXPECT_EQ(bridge.HIDopenDevice(count), 0);
  char text[128];
  EXPECT_EQ(last_error(text, sizeof text), ENOENT);
  EXPECT_EQ(std::string(text), "device number " + std::to_string(count) +
                                   " is not listed: the last scan found " + std::to_string(count) +
                                   (count == 1 ? " device" : " devices"));
}

TEST(HidrawBridge, MonitorRunsWhileAHandlerIsInstalled) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  const int before = Threads();
  bridge.USBsetEventHandler(OnDeviceChange);
  const int with_monitor = Threads();
  bridge.USBsetEventHandler(nullptr);
  // Joined, a thread may still be listed for a moment while the kernel reaps it.
  EXPECT_TRUE(ThreadsFallTo(before));
  if (with_monitor == before) GTEST_SKIP() << "no uevent socket here: the monitor cannot run";
  EXPECT_EQ(with_monitor, before + 1);
}

TEST(HidrawBridge, LoadAndUnloadManyTimesLeavesNoThreadOrDescriptor) {
  { Bridge warm_up; }  // the first load maps libraries for good
  const int threads = Threads();
  const int descriptors = Descriptors();
  for (int i = 0; i < 50; ++i) {
    Bridge bridge;
    ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
    bridge.HIDsetEventHandler(OnInput);
    bridge.USBsetEventHandler(OnDeviceChange);
    bridge.HIDscanForDevices();
    bridge.HIDopenDevice(0);  // opens a device if there is one: its read thread must go too
  }                           // dlclose with the monitor (and perhaps a read thread) running
  EXPECT_TRUE(ThreadsFallTo(threads));
  EXPECT_EQ(Descriptors(), descriptors);
}

}  // namespace
