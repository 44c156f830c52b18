// Report lengths of well-known descriptors, and how malformed ones fail.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "descriptor/ReportDescriptor.h"

namespace vyhid::descriptor {
namespace {

using Bytes = std::vector<std::uint8_t>;

ReportDescriptor ParseBytes(const Bytes& bytes) {
  return Parse(bytes);
}

std::vector<std::uint8_t> Ids(const ReportDescriptor& d, ReportKind kind) {
  std::vector<std::uint8_t> ids;
  for (const ReportLength& r : d.ReportsOfKind(kind)) ids.push_back(r.report_id);
  return ids;
}

// Boot keyboard of the HID class definition: modifiers, a reserved byte and
// six key codes in; five LEDs and three padding bits out.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// Boot mouse: three buttons and five padding bits, then X and Y.
const Bytes kBootMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00,
                          0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01,
                          0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
                          0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81,
                          0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};

// Joystick in the style of the class definition's example: X and Y (8 bits
// each, saved with PUSH), a 4-bit hat switch, four buttons, then POP restores
// the 8-bit size for the throttle.
const Bytes kJoystick = {
    0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,              // Generic Desktop, Joystick, Application
    0x05, 0x01, 0x09, 0x01, 0xA1, 0x00,              // Pointer, Physical
    0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02,  // -127..127, 2 x 8 bits
    0xA4,                                            // PUSH
    0x09, 0x30, 0x09, 0x31, 0x81, 0x02,              // X, Y: Input
    0x09, 0x39, 0x15, 0x00, 0x25, 0x03, 0x35, 0x00,  // Hat switch 0..3
    0x46, 0x0E, 0x01, 0x65, 0x14, 0x75, 0x04, 0x95, 0x01, 0x81, 0x42,  // 1 x 4 bits, null state
    0x05, 0x09, 0x19, 0x01, 0x29, 0x04, 0x15, 0x00, 0x25, 0x01,        // Buttons 1..4
    0x75, 0x01, 0x95, 0x04, 0x65, 0x00, 0x81, 0x02,                    // 4 x 1 bit
    0xC0,                                                              // end Physical
    0xB4,                                                              // POP: 8-bit size again
    0x05, 0x02, 0x09, 0xBB, 0x95, 0x01, 0x81, 0x02,                    // Throttle: 1 x 8 bits
    0xC0};

// Vendor-defined device with one 64-byte report of each kind, no report IDs.
const Bytes kVendor64 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26,
                         0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02,
                         0x09, 0x02, 0x91, 0x02, 0x09, 0x03, 0xB1, 0x02, 0xC0};

// Two top-level collections with numbered reports of different lengths,
// one of them longer than 64 bytes.
const Bytes kMultiReport = {
    0x06, 0x00, 0xFF, 0x09, 0x10, 0xA1, 0x01,  // Vendor FF00, usage 0x10
    0x75, 0x08, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x85, 0x01, 0x95,
    0x08, 0x09, 0x02, 0x81, 0x02,                                // ID 1: 8 bytes in
    0x85, 0x02, 0x95, 0x40, 0x09, 0x03, 0x91, 0x02,              // ID 2: 64 bytes out
    0x85, 0x03, 0x95, 0x04, 0x09, 0x04, 0xB1, 0x02,              // ID 3: 4 bytes feature
    0x85, 0x05, 0x96, 0x00, 0x01, 0x09, 0x05, 0x81, 0x02,        // ID 5: 256 bytes in
    0xC0, 0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01,                    // Consumer Control
    0x85, 0x04, 0x75, 0x10, 0x95, 0x01, 0x09, 0xE9, 0x81, 0x02,  // ID 4: 2 bytes in
    0xC0};

// QEMU's emulated USB keyboard, mouse (five buttons, X, Y, wheel) and tablet
// (three buttons, absolute 16-bit X and Y, wheel), as read from their hidraw
// nodes in a virtual machine.
const Bytes kQemuKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x01, 0x95, 0x08, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,
    0x15, 0x00, 0x25, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0xFF, 0x05, 0x07, 0x19, 0x00, 0x29, 0xFF, 0x81, 0x00, 0xC0};
const Bytes kQemuMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05,
                          0x09, 0x19, 0x01, 0x29, 0x05, 0x15, 0x00, 0x25, 0x01, 0x95, 0x05,
                          0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x03, 0x81, 0x01, 0x05,
                          0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7F,
                          0x75, 0x08, 0x95, 0x03, 0x81, 0x06, 0xC0, 0xC0};
const Bytes kQemuTablet = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29,
    0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
    0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x00, 0x26, 0xFF, 0x7F, 0x35, 0x00,
    0x46, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x02, 0x81, 0x02, 0x05, 0x01, 0x09, 0x38, 0x15, 0x81,
    0x25, 0x7F, 0x35, 0x00, 0x45, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x06, 0xC0, 0xC0};

struct Expected {
  const char* name;
  const Bytes* bytes;
  std::uint16_t usage_page;
  std::uint16_t usage;
  std::uint32_t input, output, feature;  // payload bytes of the single report, 0 = none
};

class SingleReportDevice : public testing::TestWithParam<Expected> {};

TEST_P(SingleReportDevice, LengthsAndCollection) {
  const Expected& e = GetParam();
  const ReportDescriptor d = ParseBytes(*e.bytes);
  ASSERT_TRUE(d.ok()) << Describe(d.error) << " at " << d.error_offset;
  EXPECT_FALSE(d.uses_report_ids);
  EXPECT_EQ(d.LongestReportBytes(ReportKind::kInput), e.input);
  EXPECT_EQ(d.LongestReportBytes(ReportKind::kOutput), e.output);
  EXPECT_EQ(d.LongestReportBytes(ReportKind::kFeature), e.feature);
  ASSERT_EQ(d.collections.size(), 1u);
  EXPECT_EQ(d.collections[0].usage_page, e.usage_page);
  EXPECT_EQ(d.collections[0].usage, e.usage);
  EXPECT_EQ(d.collections[0].report_ids, std::vector<std::uint8_t>{0});
  for (const ReportLength& r : d.reports) {
    EXPECT_EQ(r.report_id, 0);
    EXPECT_EQ(r.collection_usage, e.usage);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Known, SingleReportDevice,
    testing::Values(Expected{"BootKeyboard", &kBootKeyboard, 0x01, 0x06, 8, 1, 0},
                    Expected{"BootMouse", &kBootMouse, 0x01, 0x02, 3, 0, 0},
                    Expected{"Joystick", &kJoystick, 0x01, 0x04, 4, 0, 0},
                    Expected{"Vendor64", &kVendor64, 0xFF00, 0x01, 64, 64, 64},
                    Expected{"QemuKeyboard", &kQemuKeyboard, 0x01, 0x06, 8, 1, 0},
                    Expected{"QemuMouse", &kQemuMouse, 0x01, 0x02, 4, 0, 0},
                    Expected{"QemuTablet", &kQemuTablet, 0x01, 0x02, 6, 0, 0}),
    [](const testing::TestParamInfo<Expected>& info) { return info.param.name; });

TEST(MultiReportDevice, LengthsPerReportIdAndPerCollection) {
  const ReportDescriptor d = ParseBytes(kMultiReport);
  ASSERT_TRUE(d.ok()) << Describe(d.error);
  EXPECT_TRUE(d.uses_report_ids);
  EXPECT_EQ(Ids(d, ReportKind::kInput), (std::vector<std::uint8_t>{1, 4, 5}));
  EXPECT_EQ(Ids(d, ReportKind::kOutput), (std::vector<std::uint8_t>{2}));
  EXPECT_EQ(Ids(d, ReportKind::kFeature), (std::vector<std::uint8_t>{3}));
  EXPECT_EQ(d.ReportBytes(ReportKind::kInput, 1), 8u);
  EXPECT_EQ(d.ReportBytes(ReportKind::kInput, 4), 2u);
  EXPECT_EQ(d.ReportBytes(ReportKind::kInput, 5), 256u);
  EXPECT_EQ(d.ReportBytes(ReportKind::kOutput, 2), 64u);
  EXPECT_EQ(d.ReportBytes(ReportKind::kFeature, 3), 4u);
  EXPECT_EQ(d.ReportBytes(ReportKind::kOutput, 1), std::nullopt);
  EXPECT_EQ(d.LongestReportBytes(ReportKind::kInput), 256u);

  ASSERT_EQ(d.collections.size(), 2u);
  EXPECT_EQ(d.collections[0].usage_page, 0xFF00);
  EXPECT_EQ(d.collections[0].usage, 0x10);
  EXPECT_EQ(d.collections[0].report_ids, (std::vector<std::uint8_t>{1, 2, 3, 5}));
  EXPECT_EQ(d.collections[1].usage_page, 0x0C);
  EXPECT_EQ(d.collections[1].report_ids, (std::vector<std::uint8_t>{4}));
  EXPECT_EQ(d.collections[1].LongestReportBytes(ReportKind::kInput), 2u);
  EXPECT_EQ(d.collections[1].LongestReportBytes(ReportKind::kOutput), 0u);
  // Each report knows the usage of the collection that declares it.
  EXPECT_EQ(d.ReportsOfKind(ReportKind::kInput)[0].collection_usage, 0x10);
  EXPECT_EQ(d.ReportsOfKind(ReportKind::kInput)[1].collection_usage, 0x01);
  EXPECT_EQ(d.ReportsOfKind(ReportKind::kInput)[2].collection_usage, 0x10);
}

TEST(ReportDescriptor, ExtendedUsageNamesItsOwnPage) {
  // USAGE with 4 bytes (page FF42, usage 7) while the current page is 01.
  const ReportDescriptor d =
      ParseBytes({0x05, 0x01, 0x0B, 0x07, 0x00, 0x42, 0xFF, 0xA1, 0x01, 0xC0});
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(d.collections.size(), 1u);
  EXPECT_EQ(d.collections[0].usage_page, 0xFF42);
  EXPECT_EQ(d.collections[0].usage, 0x07);
}

TEST(ReportDescriptor, EmptyDescriptorDeclaresNothing) {
  const ReportDescriptor d = ParseBytes({});
  EXPECT_TRUE(d.ok());
  EXPECT_TRUE(d.reports.empty());
  EXPECT_TRUE(d.collections.empty());
  EXPECT_EQ(d.LongestReportBytes(ReportKind::kInput), 0u);
}

TEST(ReportDescriptor, LongItemsAreSkipped) {
  // A long item (3 data bytes) between the items of a 2-byte input report.
  const ReportDescriptor d =
      ParseBytes({0x75, 0x08, 0xFE, 0x03, 0x10, 0xAA, 0xBB, 0xCC, 0x95, 0x02, 0x81, 0x02});
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.ReportBytes(ReportKind::kInput, 0), 2u);
}

TEST(ReportDescriptor, PartialBitsRoundUpPerReport) {
  // 3 bits of ID 1 and 9 bits of ID 2: 1 and 2 bytes.
  const ReportDescriptor d = ParseBytes(
      {0x85, 0x01, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x85, 0x02, 0x95, 0x09, 0x81, 0x02});
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.ReportBytes(ReportKind::kInput, 1), 1u);
  EXPECT_EQ(d.ReportBytes(ReportKind::kInput, 2), 2u);
}

// Malformed descriptors: the error and its offset, and what was declared
// before the failing item stays available.
struct Malformed {
  const char* name;
  Bytes bytes;
  ParseError error;
  std::size_t offset;
};

class MalformedDescriptor : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedDescriptor, FailsAtTheOffendingItem) {
  const Malformed& m = GetParam();
  const ReportDescriptor d = ParseBytes(m.bytes);
  EXPECT_EQ(d.error, m.error) << Describe(d.error);
  EXPECT_EQ(d.error_offset, m.offset);
}

Bytes PushTimes(std::size_t n) {
  return Bytes(n, 0xA4);
}

INSTANTIATE_TEST_SUITE_P(
    Known, MalformedDescriptor,
    testing::Values(
        Malformed{"TruncatedShortItem",
                  {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x26, 0xFF},
                  ParseError::kTruncatedItem,
                  6},
        Malformed{"TruncatedFourByteItem", {0x27, 0x01, 0x02, 0x03}, ParseError::kTruncatedItem, 0},
        Malformed{"LongItemWithoutHeader", {0x75, 0x08, 0xFE, 0x02}, ParseError::kTruncatedItem, 2},
        Malformed{
            "LongItemDataCutShort", {0xFE, 0x05, 0x10, 0x01, 0x02}, ParseError::kTruncatedItem, 0},
        Malformed{"PushOverflow", PushTimes(kMaxGlobalStackDepth + 1),
                  ParseError::kGlobalStackOverflow, kMaxGlobalStackDepth},
        Malformed{"PopUnderflow", {0xA4, 0xB4, 0xB4}, ParseError::kGlobalStackUnderflow, 2},
        Malformed{"EndCollectionWithoutCollection",
                  {0xA1, 0x01, 0xC0, 0xC0},
                  ParseError::kEndCollectionUnderflow,
                  3},
        Malformed{"UnclosedCollection",
                  {0x09, 0x01, 0xA1, 0x01, 0xA1, 0x00, 0xC0},
                  ParseError::kUnclosedCollection,
                  7},
        Malformed{"CollectionsTooDeep", Bytes(2 * (kMaxCollectionDepth + 1), 0xA1),
                  ParseError::kCollectionTooDeep, 2 * kMaxCollectionDepth},
        Malformed{"ReportIdZero", {0x85, 0x00}, ParseError::kInvalidReportId, 0},
        Malformed{"ReportIdAboveOneByte", {0x86, 0x00, 0x01}, ParseError::kInvalidReportId, 0}),
    [](const testing::TestParamInfo<Malformed>& info) { return info.param.name; });

TEST(MalformedDescriptor, KeepsWhatWasDeclaredBeforeTheError) {
  const ReportDescriptor d =
      ParseBytes({0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0x95});
  EXPECT_EQ(d.error, ParseError::kTruncatedItem);
  EXPECT_EQ(d.error_offset, 10u);
  EXPECT_EQ(d.ReportBytes(ReportKind::kInput, 0), 4u);
  EXPECT_EQ(d.collections.size(), 1u);
}

TEST(MalformedDescriptor, HugeSizesAndCountsSaturateWithoutOverflow) {
  // Report size and count of 0xFFFFFFFF, declared many times over.
  Bytes bytes = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF};
  for (int i = 0; i < 100; ++i) bytes.insert(bytes.end(), {0x81, 0x02, 0xB1, 0x02});
  const ReportDescriptor d = ParseBytes(bytes);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.reports.size(), 2u);
  EXPECT_EQ(d.ReportBytes(ReportKind::kInput, 0), kMaxReportBits / 8);
  EXPECT_EQ(d.ReportBytes(ReportKind::kFeature, 0), kMaxReportBits / 8);
}

TEST(FetchItem, NeverReadsPastTheEnd) {
  const std::uint8_t data[] = {0x26, 0x34, 0x12};
  Item item;
  // Every prefix shorter than the item is refused.
  for (std::size_t n = 0; n < sizeof data; ++n) {
    EXPECT_EQ(FetchItem(data, data + n, item), nullptr) << n;
  }
  EXPECT_EQ(FetchItem(data, data + 3, item), data + 3);
  EXPECT_EQ(item.type, Item::Type::kGlobal);
  EXPECT_EQ(item.tag, 0x2);
  EXPECT_EQ(item.data, 0x1234u);
}

}  // namespace
}  // namespace vyhid::descriptor
