// The built HID_Bridge__.dll, loaded as the component loads it, on whatever
// this machine has (usually no HID device at all).
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "HIDrecords.h"

namespace {

int CountEntries(const char* dir) {
  DIR* d = ::opendir(dir);
  if (d == nullptr) return 0;
  int n = 0;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
  }
  ::closedir(d);
  return n;
}

int Threads() {
  return CountEntries("/proc/self/task");
}
// Open descriptors, the one counting them included.
int Descriptors() {
  return CountEntries("/proc/self/fd");
}

// The bridge loaded by path, its 13 entry points bound by name.
struct Bridge {
  Bridge() {
    handle = ::dlopen(VYHID_HIDRAW_BRIDGE, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    Bind(scan, "HIDscanForDevices");
    Bind(get_info, "HIDGetDeviceInfo");
    Bind(close, "HIDcloseDevice");
    Bind(open, "HIDopenDevice");
    Bind(set_usb_handler, "USBsetEventHandler");
    Bind(set_hid_handler, "HIDsetEventHandler");
    Bind(output_size, "HIDOutputReportSize");
    Bind(input_size, "HIDInputReportSize");
    Bind(feature_size, "HIDFeatureReportSize");
    Bind(get_input, "HIDGetInputReport");
    Bind(get_feature, "HIDGetFeatureReport");
    Bind(set_output, "HIDSetOutputReport");
    Bind(set_feature, "HIDSetFeatureReport");
  }
  ~Bridge() {
    if (handle != nullptr) ::dlclose(handle);
  }
  template <typename F>
  void Bind(F& f, const char* name) {
    f = reinterpret_cast<F>(::dlsym(handle, name));
    if (f == nullptr) missing += std::string(name) + " ";
  }

  void* handle = nullptr;
  std::string missing;
  tHIDscanForDevices scan = nullptr;
  tHIDGetDeviceInfo get_info = nullptr;
  tHIDcloseDevice close = nullptr;
  tHIDopenDevice open = nullptr;
  tUSBsetEventHandler set_usb_handler = nullptr;
  tHIDsetEventHandler set_hid_handler = nullptr;
  tHIDOutputReportSize output_size = nullptr;
  tHIDInputReportSize input_size = nullptr;
  tHIDFeatureReportSize feature_size = nullptr;
  tHIDGetInputReport get_input = nullptr;
  tHIDGetFeatureReport get_feature = nullptr;
  tHIDSetOutputReport set_output = nullptr;
  tHIDSetFeatureReport set_feature = nullptr;
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
  const int count = bridge.scan();
  EXPECT_EQ(count, CountEntries("/sys/class/hidraw"));
  std::string previous;
  for (int i = 0; i < count; ++i) {
    THIDdeviceInfo info;
    bridge.get_info(static_cast<std::uint8_t>(i), &info);
    const std::string identity(ReadShortString(info.SymLink));
    EXPECT_EQ(identity.find("/dev/hidraw"), std::string::npos) << identity;
    EXPECT_LE(identity.size(), 99u);
    EXPECT_LT(previous, identity) << "identities sorted and distinct";
    previous = identity;
  }
  EXPECT_EQ(bridge.scan(), count);  // a second scan finds the same
}

TEST(HidrawBridge, RecordOutOfRangeIsAllZero) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  const std::uint8_t count = bridge.scan();
  if (count == 255) GTEST_SKIP() << "every device number is taken";
  THIDdeviceInfo info;
  std::memset(&info, 0xCC, sizeof info);
  bridge.get_info(count, &info);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
  for (std::size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  bridge.get_info(0, nullptr);  // ignored, no crash
}

TEST(HidrawBridge, CallsWithoutAnOpenDeviceFail) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  const std::uint8_t count = bridge.scan();
  EXPECT_EQ(bridge.close(), 0);
  if (count < 255) {
    EXPECT_EQ(bridge.open(count), 0);  // no such device
  }
  EXPECT_EQ(bridge.output_size(), 0);
  EXPECT_EQ(bridge.input_size(), 0);
  EXPECT_EQ(bridge.feature_size(), 0);
  THIDreport report;
  std::memset(&report, 0x77, sizeof report);
  EXPECT_EQ(bridge.get_input(&report), 0);
  EXPECT_EQ(bridge.get_feature(&report), 0);
  EXPECT_EQ(bridge.set_output(&report), 0);
  EXPECT_EQ(bridge.set_feature(&report), 0);
  EXPECT_EQ(report.Data[0], 0x77);  // untouched
  EXPECT_EQ(bridge.get_input(nullptr), 0);
  EXPECT_EQ(bridge.set_output(nullptr), 0);
}

TEST(HidrawBridge, MonitorRunsWhileAHandlerIsInstalled) {
  Bridge bridge;
  ASSERT_NE(bridge.handle, nullptr) << ::dlerror();
  const int before = Threads();
  bridge.set_usb_handler(OnDeviceChange);
  const int with_monitor = Threads();
  bridge.set_usb_handler(nullptr);
  EXPECT_EQ(Threads(), before);
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
    bridge.set_hid_handler(OnInput);
    bridge.set_usb_handler(OnDeviceChange);
    bridge.scan();
    bridge.open(0);  // opens a device if there is one: its read thread must go too
  }                  // dlclose with the monitor (and perhaps a read thread) running
  EXPECT_EQ(Threads(), threads);
  EXPECT_EQ(Descriptors(), descriptors);
}

}  // namespace
