// The device record built from enumeration facts: identity, capabilities,
// strings, and that every byte is written.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "DeviceRecord.h"

namespace vyhid::hidraw {
namespace {

using descriptor::Parse;

DeviceFacts UsbDevice(std::string serial, std::string port, int interface = 0) {
  DeviceFacts f;
  f.devnode = "/dev/hidraw3";
  f.vendor_id = 0x046D;
  f.product_id = 0xC52B;
  f.version = 0x1201;
  f.manufacturer = "Logi";
  f.product = "Receiver";
  f.serial = std::move(serial);
  f.interface_number = interface;
  f.port_path = std::move(port);
  f.instance_name = "0003:046D:C52B.0007";
  return f;
}

TEST(Identity, NamesVendorProductInterfaceThenSerialOrPort) {
  EXPECT_EQ(BuildIdentity(UsbDevice("AB12", "1-2", 2), true), "046D:C52B:02 sn:AB12");
  EXPECT_EQ(BuildIdentity(UsbDevice("", "1-2.4", 1), true), "046D:C52B:01 at:1-2.4");
  EXPECT_EQ(BuildIdentity(UsbDevice("AB12", "1-2", 2), false), "046D:C52B:02 at:1-2");
  DeviceFacts bluetooth = UsbDevice("", "");
  bluetooth.interface_number.reset();
  EXPECT_EQ(BuildIdentity(bluetooth, true), "046D:C52B at:0003:046D:C52B.0007");
}

TEST(Identity, SameDeviceOnAnotherPortKeepsItsIdentityWhenItHasASerial) {
  EXPECT_EQ(BuildIdentity(UsbDevice("AB12", "1-2"), true),
            BuildIdentity(UsbDevice("AB12", "3-1.1"), true));
  EXPECT_NE(BuildIdentity(UsbDevice("", "1-2"), true), BuildIdentity(UsbDevice("", "1-3"), true));
}

TEST(Identity, LongTextsDifferWithinTheComparedLength) {
  const std::string long_serial(200, 'S');
  const std::string a = BuildIdentity(UsbDevice(long_serial + "1", "1-1"), true);
  const std::string b = BuildIdentity(UsbDevice(long_serial + "2", "1-1"), true);
  EXPECT_LE(a.size(), kIdentityChars);
  EXPECT_LE(b.size(), kIdentityChars);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, BuildIdentity(UsbDevice(long_serial + "1", "1-1"), true));  // stable
}

TEST(Identity, CutNeverSplitsACharacter) {
  // Multi-byte characters at every alignment against the cut.
  std::string accented, euros;
  for (int i = 0; i < 80; ++i) accented += "\xC3\xA9";   // é
  for (int i = 0; i < 60; ++i) euros += "\xE2\x82\xAC";  // €
  for (const std::string& t : {accented, "a" + accented, euros, "a" + euros, "ab" + euros}) {
    const std::string fitted = FitIdentity(t);
    ASSERT_LE(fitted.size(), kIdentityChars);
    const std::string head = fitted.substr(0, fitted.size() - 9);  // before "~hash"
    // The head ends on a complete character: it is a prefix of the input
    // that stops before a lead byte (or at the end).
    ASSERT_EQ(t.compare(0, head.size(), head), 0);
    const unsigned char next = static_cast<unsigned char>(t[head.size()]);
    EXPECT_NE(next & 0xC0, 0x80) << t.size();
  }
}

TEST(Identity, AssignedIdentitiesAreDistinctEvenForSharedSerials) {
  // Two units sharing a placeholder serial on different ports, two
  // interfaces of one device, and two devices that look the same in every
  // way but their instance names.
  std::vector<DeviceFacts> devices = {UsbDevice("0000", "1-1"),  UsbDevice("0000", "1-2"),
                                      UsbDevice("X9", "1-3", 0), UsbDevice("X9", "1-3", 1),
                                      UsbDevice("", "", 0),      UsbDevice("", "", 0)};
  devices[5].instance_name = "0003:046D:C52B.0009";
  const std::vector<std::string> ids = AssignIdentities(devices);
  ASSERT_EQ(ids.size(), devices.size());
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
  EXPECT_EQ(ids[0], "046D:C52B:00 at:1-1");
  EXPECT_EQ(ids[2], "046D:C52B:00 sn:X9");
  EXPECT_EQ(ids[3], "046D:C52B:01 sn:X9");
  for (const std::string& id : ids) EXPECT_LE(id.size(), kIdentityChars);
}

TEST(SysfsText, HexNumbersAndHidIds) {
  EXPECT_EQ(ParseHex16("046d"), 0x046D);
  EXPECT_EQ(ParseHex16("0x1A2B\n"), 0x1A2B);
  EXPECT_EQ(ParseHex16(""), std::nullopt);
  EXPECT_EQ(ParseHex16("12345"), std::nullopt);
  EXPECT_EQ(ParseHex16("zz"), std::nullopt);
  std::uint16_t vendor = 0, product = 0;
  EXPECT_TRUE(ParseHidId("0005:0000046D:0000B342", vendor, product));
  EXPECT_EQ(vendor, 0x046D);
  EXPECT_EQ(product, 0xB342);
  EXPECT_FALSE(ParseHidId("0005:0000046D", vendor, product));
  EXPECT_FALSE(ParseHidId("garbage", vendor, product));
}

TEST(Capabilities, VendorDeviceWithOne64ByteReportOfEachKind) {
  const std::vector<std::uint8_t> bytes = {
      0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95,
      0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x02, 0x91, 0x02, 0x09, 0x03, 0xB1, 0x02, 0xC0};
  THIDdeviceInfo info{};
  FillCapabilities(info, Parse(bytes));
  EXPECT_EQ(info.InputBufferSize, 65);
  EXPECT_EQ(info.OutputBufferSize, 65);
  EXPECT_EQ(info.FeatureBufferSize, 65);
  for (const TReportCapabilities* caps :
       {info.InputReportCaps, info.OutputReportCaps, info.FeatureReportCaps}) {
    EXPECT_EQ(caps[0].ReportId, 0);
    EXPECT_EQ(caps[0].ReportSize, 8);
    EXPECT_EQ(caps[0].ReportCount, 64);
    EXPECT_EQ(caps[0].Usage, 0x01);
    EXPECT_EQ(caps[1].ReportCount, 0);  // one entry only
  }
}

TEST(Capabilities, TenEntriesAtMostInAscendingOrderAndCountsCapped) {
  // Input reports with IDs 12 down to 1, of 1..12 bytes; ID 7 has 300 bytes.
  std::vector<std::uint8_t> bytes = {0x09, 0x01, 0xA1, 0x01, 0x75, 0x08};
  for (int id = 12; id >= 1; --id) {
    const int count = id == 7 ? 300 : id;
    bytes.insert(bytes.end(), {0x85, static_cast<std::uint8_t>(id), 0x96,
                               static_cast<std::uint8_t>(count & 0xFF),
                               static_cast<std::uint8_t>(count >> 8), 0x81, 0x02});
  }
  bytes.push_back(0xC0);
  THIDdeviceInfo info{};
  FillCapabilities(info, Parse(bytes));
  EXPECT_EQ(info.InputBufferSize, 301);
  EXPECT_EQ(info.OutputBufferSize, 0);
  EXPECT_EQ(info.FeatureBufferSize, 0);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(info.InputReportCaps[i].ReportId, i + 1);
    EXPECT_EQ(info.InputReportCaps[i].ReportCount, i + 1 == 7 ? 255 : i + 1);
  }
  EXPECT_EQ(info.OutputReportCaps[0].ReportSize, 0);  // absent kind: all zero
}

// A main item of no bits under a report ID declares that report: a feature
// report that is its ID byte alone gets a one-byte buffer, and no table entry
// (an entry of no bytes would read as an unused one).
TEST(Capabilities, ReportOfNoBitsIsItsIdByte) {
  const std::vector<std::uint8_t> bytes = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85,
                                           0x01, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0x85,
                                           0x02, 0x95, 0x00, 0xB1, 0x02, 0xC0};
  THIDdeviceInfo info{};
  FillCapabilities(info, Parse(bytes));
  EXPECT_EQ(info.InputBufferSize, 3);
  EXPECT_EQ(info.FeatureBufferSize, 1);
  EXPECT_EQ(info.FeatureReportCaps[0].ReportId, 0);
  EXPECT_EQ(info.FeatureReportCaps[0].ReportCount, 0);
  EXPECT_EQ(info.OutputBufferSize, 0);
}

TEST(Capabilities, HugeReportsClampTheBufferSize) {
  THIDdeviceInfo info{};
  const std::vector<std::uint8_t> bytes = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x95, 0x10, 0x81, 0x02};
  FillCapabilities(info, Parse(bytes));
  EXPECT_EQ(info.InputBufferSize, 0xFFFF);
  EXPECT_EQ(info.InputReportCaps[0].ReportCount, 255);
}

TEST(DeviceInfo, EveryByteWrittenAndStringsCutAtACharacter) {
  DeviceFacts facts = UsbDevice("SN1", "1-1");
  facts.product = "x";
  for (int i = 0; i < 200; ++i) facts.product += "\xE2\x82\xAC";  // € (3 bytes) x 200
  const THIDdeviceInfo info = BuildDeviceInfo(facts, "046D:C52B:00 sn:SN1", Parse({}), 7);

  // Compare against a record built field by field on zeroed memory: equal
  // bytes everywhere means no byte was left unwritten or stale.
  THIDdeviceInfo expected;
  std::memset(&expected, 0, sizeof expected);
  WriteShortString(expected.SymLink, "046D:C52B:00 sn:SN1");
  expected.Handle = 7;
  expected.VID = 0x046D;
  expected.PID = 0xC52B;
  expected.VersionNumber = 0x1201;
  WriteShortString(expected.ManufacturerString, "Logi");
  WriteShortString(expected.ProductString, facts.product.substr(0, 253));
  WriteShortString(expected.SerialNumberString, "SN1");
  EXPECT_EQ(std::memcmp(&info, &expected, sizeof info), 0);
  EXPECT_EQ(info.ProductString.Length, 253);  // "x" and 84 whole characters
  EXPECT_EQ(info.HasReadWriteAccess, 0);
}

}  // namespace
}  // namespace vyhid::hidraw
