// The component finds the bridge by its bare name in its program's folder,
// with nothing loaded beforehand (this program lives in the simulated
// bridge's folder).
#include <gtest/gtest.h>

#include <cstdlib>

#include "VyHID.h"
#include "VyHIDTestSupport.h"
#include "rtl/DynLib.h"

namespace vyhid_test {
namespace {

TEST(BareName, TheBridgeNextToTheProgramIsLoadedAndBound) {
  // The simulated bridge reads its devices from this file when it loads.
  ASSERT_EQ(::_putenv("VYHID_SIM_DEVICES=" VYHID_SIM_DEFAULT_DEVICES_PATH), 0);
  MessageCapture messages;
  {
    TVyHID hid(nullptr);
    EXPECT_TRUE(messages.Messages().empty()) << Utf8(messages.Messages().front());
    EXPECT_GT(hid.ScanForHIDdevices(), 0) << "bound, with the file's devices";
    EXPECT_GT(rtl::LoadedLibraryCount(), 0);
  }
  EXPECT_EQ(rtl::LoadedLibraryCount(), 0);
}

}  // namespace
}  // namespace vyhid_test
