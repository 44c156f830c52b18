// The order of the Windows bridge's list: by access, then by path.
#include <gtest/gtest.h>

#include <vector>

#include "DeviceOrder.h"

namespace vyhid::win32 {
namespace {

TEST(DeviceOrder, ReadWriteThenReadOnlyThenNoneEachByPath) {
  const ListingKey keys[] = {
      {Access::kNone, L"\\\\?\\hid#b"},      {Access::kReadOnly, L"\\\\?\\hid#z"},
      {Access::kReadWrite, L"\\\\?\\HID#C"}, {Access::kReadWrite, L"\\\\?\\hid#a"},
      {Access::kNone, L"\\\\?\\hid#a"},      {Access::kReadOnly, L"\\\\?\\hid#b"}};
  EXPECT_EQ(ListingOrder(keys), (std::vector<std::size_t>{3, 2, 5, 1, 4, 0}));
  EXPECT_TRUE(ListingOrder({}).empty());
}

TEST(DeviceOrder, UsbFunctionsAndSerials) {
  EXPECT_TRUE(IsUsbFunction(L"USB\\VID_046D&PID_C52B&MI_01\\7&2A&0&0001"));
  EXPECT_FALSE(IsUsbFunction(L"USB\\VID_046D&PID_C52B\\5&1&0&2"));
  EXPECT_EQ(UsbSerial(L"USB\\VID_04D8&PID_003F\\A1B2C3"), L"A1B2C3");
  EXPECT_EQ(UsbSerial(L"USB\\VID_046D&PID_C52B\\5&1&0&2"), L"");  // made up by the system
  EXPECT_EQ(UsbSerial(L"HID\\VID_04D8&PID_003F\\A1B2C3"), L"");
  EXPECT_EQ(UsbSerial(L"usb\\VID_04D8&PID_003F\\A1B2C3"), L"A1B2C3");
  EXPECT_TRUE(IsBluetoothLe(L"BTHLEDevice\\{00001812-0000-1000-8000-00805f9b34fb}_Dev_VID&02"));
  EXPECT_FALSE(IsBluetoothLe(L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&0002"));
}

}  // namespace
}  // namespace vyhid::win32
