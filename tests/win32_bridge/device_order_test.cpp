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

}  // namespace
}  // namespace vyhid::win32
