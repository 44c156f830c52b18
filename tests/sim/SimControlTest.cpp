// The control library: binding a simulated bridge loaded by path.
#include <gtest/gtest.h>

#include <string>

#include "SimControl.h"

namespace {

rtl::String Path(const char* utf8) {
  return rtl::Utf8ToString(utf8);
}

TEST(SimControl, LoadsTheBridgeByPathAndBindsTheControlApi) {
  const int before = rtl::LoadedLibraryCount();
  SimBridge sim;
  rtl::HMODULE module = 0;
  std::string error;
  ASSERT_TRUE(LoadSimBridge(Path(VYHID_SIM_BRIDGE_PATH), sim, module, &error)) << error;
  EXPECT_NE(module, 0u);
  sim.Reset();
  EXPECT_EQ(SimLoadDeviceFile(sim, VYHID_SIM_DEFAULT_DEVICES_PATH, &error), 3) << error;
  EXPECT_EQ(SimLoadDeviceFile(sim, "/nonexistent/devices.txt", &error), -1);
  EXPECT_EQ(error, "/nonexistent/devices.txt: cannot read");

  // A later load by bare name is the same library: the component's path.
  const rtl::HMODULE byName = rtl::LoadLibraryW(vyhid::kBridgeFileName);
  ASSERT_NE(byName, 0u);
  auto scan =
      reinterpret_cast<tHIDscanForDevices>(rtl::GetProcAddress(byName, "HIDscanForDevices"));
  ASSERT_NE(scan, nullptr);
  EXPECT_EQ(scan(), 3);
  rtl::FreeLibrary(byName);

  // The variant lacks an entry point, not a control function.
  SimBridge variant;
  rtl::HMODULE variantModule = 0;
  EXPECT_TRUE(LoadSimBridge(Path(VYHID_SIM_BRIDGE_NOSETFEATURE_PATH), variant, variantModule));
  rtl::FreeLibrary(variantModule);

  rtl::FreeLibrary(module);
  EXPECT_EQ(rtl::LoadedLibraryCount(), before);
}

TEST(SimControl, FailuresNameTheReasonAndHoldNothing) {
  const int before = rtl::LoadedLibraryCount();
  SimBridge sim;
  rtl::HMODULE module = 1;
  std::string error;
  EXPECT_FALSE(LoadSimBridge(Path("/nonexistent/HID_Bridge__.dll"), sim, module, &error));
  EXPECT_EQ(module, 0u);
  EXPECT_NE(error.find("cannot load /nonexistent/HID_Bridge__.dll"), std::string::npos) << error;

  // A library that loads but is not a simulated bridge.
  EXPECT_FALSE(LoadSimBridge(Path(VYHID_TEST_OTHER_LIBRARY), sim, module, &error));
  EXPECT_EQ(module, 0u);
  EXPECT_NE(error.find("missing SimReset"), std::string::npos) << error;
  EXPECT_EQ(sim.Reset, nullptr) << "left untouched";
  EXPECT_EQ(rtl::LoadedLibraryCount(), before);
}

}  // namespace
