// Device records and device files of the simulated bridge.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SimDevices.h"

namespace {

std::vector<SimDeviceSpec> Parse(std::string_view text) {
  std::vector<SimDeviceSpec> devices;
  std::string error;
  EXPECT_TRUE(SimParseDeviceText(text, devices, error)) << error;
  return devices;
}

std::string ParseError(std::string_view text) {
  std::vector<SimDeviceSpec> devices;
  std::string error;
  EXPECT_FALSE(SimParseDeviceText(text, devices, error)) << text;
  return error;
}

TReportCapabilities Cap(THIDdeviceInfo& info, vyhid::ReportKind kind, std::size_t i) {
  TReportCapabilities c;
  std::memcpy(&c, &vyhid::CapabilityTable(info, kind)[i], sizeof c);
  return c;
}

void ExpectCap(THIDdeviceInfo& info, vyhid::ReportKind kind, std::size_t i, int id, int count) {
  const TReportCapabilities c = Cap(info, kind, i);
  EXPECT_EQ(c.ReportId, id) << "entry " << i;
  EXPECT_EQ(c.ReportCount, count) << "entry " << i;
  EXPECT_EQ(c.ReportSize, count == 0 ? 0 : 8) << "entry " << i;
  EXPECT_EQ(+c.Usage, 0) << "entry " << i;
}

TEST(SimDeviceText, TheDefaultFileDescribesKeyboardMouseAndVendorDevice) {
  std::ifstream file(VYHID_SIM_DEFAULT_DEVICES_PATH);
  ASSERT_TRUE(file.is_open());
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<SimDeviceSpec> d = Parse(text);
  ASSERT_EQ(d.size(), 3u);

  THIDdeviceInfo& kbd = d[0].info;
  EXPECT_EQ(ReadShortString(kbd.SymLink), "/dev/sim/hidraw0");
  EXPECT_EQ(ReadShortString(kbd.ProductString), "Sim Keyboard");
  EXPECT_EQ(ReadShortString(kbd.ManufacturerString), "Simulated Devices");
  EXPECT_EQ(+kbd.VID, 0x1209);
  EXPECT_EQ(+kbd.PID, 0x0001);
  EXPECT_EQ(+kbd.InputBufferSize, 9);
  EXPECT_EQ(+kbd.OutputBufferSize, 2);
  EXPECT_EQ(+kbd.FeatureBufferSize, 0);
  ExpectCap(kbd, vyhid::ReportKind::kInput, 0, 0, 8);
  ExpectCap(kbd, vyhid::ReportKind::kOutput, 0, 0, 1);
  EXPECT_EQ(kbd.HasReadWriteAccess, 1);
  EXPECT_FALSE(d[0].echo);

  THIDdeviceInfo& mouse = d[1].info;
  EXPECT_EQ(+mouse.InputBufferSize, 5);
  EXPECT_EQ(+mouse.OutputBufferSize, 0);
  ExpectCap(mouse, vyhid::ReportKind::kOutput, 0, 0, 0);

  THIDdeviceInfo& vendor = d[2].info;
  EXPECT_EQ(+vendor.InputBufferSize, 65);
  EXPECT_EQ(+vendor.OutputBufferSize, 65);
  EXPECT_EQ(+vendor.FeatureBufferSize, 65);
  ExpectCap(vendor, vyhid::ReportKind::kFeature, 0, 1, 64);
  ExpectCap(vendor, vyhid::ReportKind::kFeature, 1, 2, 8);
  EXPECT_TRUE(d[2].echo);
  EXPECT_TRUE(d[2].strict);
  EXPECT_EQ(d[2].input_period_ms, 500u);
  EXPECT_EQ(d[2].periodic_input.bytes, (std::vector<std::uint8_t>{1, 2, 0xfe}));
  ASSERT_EQ(d[2].input_reports.size(), 1u);
  ASSERT_EQ(d[2].feature_reports.size(), 1u);
  EXPECT_EQ(+d[2].feature_reports[0].id, 2);
  // Each with its report descriptor; the vendor device numbers its reports.
  for (const SimDeviceSpec& device : d) EXPECT_FALSE(device.descriptor.empty());
  ExpectCap(vendor, vyhid::ReportKind::kInput, 0, 1, 64);
  ExpectCap(vendor, vyhid::ReportKind::kOutput, 0, 1, 64);
}

TEST(SimDeviceText, ReportsBecomeSizesAndAscendingCapabilityEntries) {
  std::string text = "device\nsymlink /many\n";
  for (int id = 12; id >= 1; --id)
    text += "input " + std::to_string(id) + " " + std::to_string(id) + "\n";
  text += "feature 0x20 1000\nfeature 0x10 3\n";
  std::vector<SimDeviceSpec> d = Parse(text);
  ASSERT_EQ(d.size(), 1u);
  THIDdeviceInfo& info = d[0].info;
  for (std::size_t i = 0; i < 10; ++i) {
    ExpectCap(info, vyhid::ReportKind::kInput, i, static_cast<int>(i + 1), static_cast<int>(i + 1));
  }
  EXPECT_EQ(+info.InputBufferSize, 13) << "the longest report counts even without an entry";
  ExpectCap(info, vyhid::ReportKind::kFeature, 0, 0x10, 3);
  ExpectCap(info, vyhid::ReportKind::kFeature, 1, 0x20, 255);
  EXPECT_EQ(+info.FeatureBufferSize, 1001);
  EXPECT_EQ(+info.OutputBufferSize, 0);
}

TEST(SimDeviceText, TextFieldsCommentsAndLineEnds) {
  const std::string text =
      "# leading comment\r\n"
      "\r\n"
      "  device   # trailing comment\r\n"
      "\tsymlink   /dev/x # part of the name  \r\n"
      "product Widget 2000\r\n"
      "manufacturer ACME\r\n"
      "serial\r\n"
      "vid 0XaBcD # hex either case\r\n"
      "pid 65535\r\n"
      "version 0x0000\r\n"
      "access ro\r\n"
      "echo off";  // no final line end
  std::vector<SimDeviceSpec> d = Parse(text);
  ASSERT_EQ(d.size(), 1u);
  const THIDdeviceInfo& info = d[0].info;
  EXPECT_EQ(ReadShortString(info.SymLink), "/dev/x # part of the name");
  EXPECT_EQ(ReadShortString(info.ProductString), "Widget 2000");
  EXPECT_EQ(ReadShortString(info.ManufacturerString), "ACME");
  EXPECT_EQ(ReadShortString(info.SerialNumberString), "");
  EXPECT_EQ(+info.VID, 0xABCD);
  EXPECT_EQ(+info.PID, 0xFFFF);
  EXPECT_EQ(info.HasReadWriteAccess, 0);
  EXPECT_FALSE(d[0].echo);

  EXPECT_TRUE(Parse("").empty());
  EXPECT_TRUE(Parse("# only comments\n\n   \n").empty());
  const std::string withZero("device\nsymlink /a\0b\n", 19);
  EXPECT_EQ(ReadShortString(Parse(withZero).at(0).info.SymLink), std::string_view("/a\0b", 4));

  const std::string longest(255, 'n');
  EXPECT_EQ(ReadShortString(Parse("device\nsymlink " + longest).at(0).info.SymLink), longest);
}

TEST(SimDeviceText, MalformedFilesNameTheLineAndTheFault) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"vid 1\n", "line 1: 'vid' outside a device block"},
      {"# c\ndevice extra\n", "line 2: unexpected text after 'device'"},
      {"device\nvid 1\n", "line 1: device has no symlink"},
      {"device\nsymlink /a\ndevice\n", "line 3: device has no symlink"},
      {"device\nsymlink\n", "line 2: empty symlink"},
      {"device\nsymlink /a\n\ndevice\nsymlink /a\n",
       "line 4: device has the same symlink as the device on line 1"},
      {"device\nsymlink /a\nsymlink /b\n", "line 3: 'symlink' given twice for one device"},
      {"device\nsymlink /a\nvid 1\nvid 1\n", "line 4: 'vid' given twice for one device"},
      {"device\nsymlink /a\nvid\n", "line 3: 'vid' needs a value"},
      {"device\nsymlink /a\nvid 0x10000\n", "line 3: 'vid' needs a number from 0 to 0xFFFF"},
      {"device\nsymlink /a\npid 99999999999999999999999\n",
       "line 3: 'pid' needs a number from 0 to 0xFFFF"},
      {"device\nsymlink /a\nversion 0x\n", "line 3: 'version' needs a number from 0 to 0xFFFF"},
      {"device\nsymlink /a\nvid -1\n", "line 3: 'vid' needs a number from 0 to 0xFFFF"},
      {"device\nsymlink /a\nvid 12 34\n", "line 3: unexpected text after the value of 'vid'"},
      {"device\nsymlink /a\naccess rx\n", "line 3: access must be 'rw' or 'ro'"},
      {"device\nsymlink /a\necho yes\n", "line 3: echo must be 'on' or 'off'"},
      {"device\nsymlink /a\ninput 1\n", "line 3: 'input' needs a report ID and a byte count"},
      {"device\nsymlink /a\noutput 1 2 3\n", "line 3: 'output' needs a report ID and a byte count"},
      {"device\nsymlink /a\nfeature 256 1\n", "line 3: report ID must be a number from 0 to 255"},
      {"device\nsymlink /a\ninput 1 0\n", "line 3: byte count must be a number from 1 to 65534"},
      {"device\nsymlink /a\ninput 1 65535\n",
       "line 3: byte count must be a number from 1 to 65534"},
      {"device\nsymlink /a\ninput 1 8\noutput 1 8\ninput 1 4\n",
       "line 5: input report 1 given twice"},
      {"device\nsymlink /a\nfrobnicate\n", "line 3: unknown keyword 'frobnicate'"},
      {"device\nsymlink /a\ninput-report 0\n",
       "line 3: 'input-report' needs 1 to 64 bytes in hex, such as 01 02 fe"},
      {"device\nsymlink /a\nfeature-report 1 1g\n",
       "line 3: 'feature-report' needs 1 to 64 bytes in hex, such as 01 02 fe"},
      {"device\nsymlink /a\ninput 0 2\ninput-report 1 01\n",
       "line 4: 'input-report': the device has no input report with ID 1"},
      {"device\nsymlink /a\ninput 0 2\ninput every 5ms 0 01\n",
       "line 4: 'input every' needs a period from 10ms to 60000ms"},
      {"device\nsymlink /a\ninput 0 2\ninput every 10ms 0 01 02 03\n",
       "line 4: 'input every': input report 0 has 2 bytes"},
      {"device\nsymlink /a\nproduct " + std::string(256, 'p') + "\n",
       "line 3: text longer than 255 bytes"},
      // A descriptor must declare exactly the listed reports.
      {"device\nsymlink /a\ninput 0 3\ndescriptor 09 01 a1 01 75 08 95 02\ndescriptor 81 02 c0\n",
       "line 4: the descriptor's input report 0 has 2 bytes; the device lists 3"},
      {"device\nsymlink /a\ndescriptor 09 01 a1 01 75 08 95 03 81 02 c0\n",
       "line 3: the descriptor declares input report 0 (3 bytes), which the device does not list"},
      {"device\nsymlink /a\ninput 0 3\ndescriptor 09 01 a1 01 75 08 95 03 81\n",
       "line 4: the descriptor does not parse: truncated item at byte 8"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseError(text), expected) << text;
}

// Recordings: a recorded device's reports come from its descriptor, and a
// malformed recording names the line and the fault.
TEST(SimDeviceText, RecordingsAreCheckedLineByLine) {
  const std::string mouse = "R: 6 a1 01 75 08 95 03 81 06 c0\n";  // cut below
  std::vector<SimDeviceSpec> d =
      Parse("# comment\nR: 9 a1 01 75 08 95 03 81 06 c0\nE: 1.000000 3 01 02 03\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(ReadShortString(d[0].info.SymLink), "D0 recorded device");
  EXPECT_EQ(+d[0].info.InputBufferSize, 4);
  ASSERT_EQ(d[0].recorded.size(), 1u);
  EXPECT_EQ(d[0].recorded[0].at_us, 1000000u);
  EXPECT_FALSE(d[0].numbered_reports);

  const std::vector<std::pair<std::string, std::string>> cases = {
      {mouse, "line 1: 'R:' needs the descriptor's length (1 to 4096) and as many bytes in hex"},
      {"N: x\n", "line 1: device 0 has no report descriptor ('R:' line)"},
      {"D: 1\n", "line 1: device 1 named before device 0"},
      {"X: 1\n", "line 1: unknown line 'X:'"},
      {"R: 1 c0\nE: 0.5 1 00\n",
       "line 2: 'E:' needs a time as seconds.microseconds, such as 000001.250000"},
      {"R: 1 c0\nE: 0.000000 2 00\n",
       "line 2: 'E:' needs the report's length and as many bytes in hex"},
      {"R: 1 c0\nE: 1.000000 1 00\nE: 0.000000 1 00\n", "line 3: 'E:' goes back in time"},
      {"R: 1 c0\nI: 3 1234\n",
       "line 2: 'I:' needs the bus, vendor and product in hex, such as 3 1209 0001"},
      {"R: 1 c0\nR: 1 c0\n", "line 2: 'R:' given twice for one device"},
      {"R: 1 c0\nreport 1\n",
       "line 2: a recording's lines start with a letter and ':' (D:, R:, N:, P:, I:, E:)"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseError(text), expected) << text;
}

TEST(SimDeviceText, IdentityIsTheFirst99SymlinkBytesAndTheListHoldsAtMost255) {
  const std::string stem(99, 's');
  EXPECT_EQ(ParseError("device\nsymlink " + stem + "A\ndevice\nsymlink " + stem + "B\n"),
            "line 3: device has the same symlink as the device on line 1");
  EXPECT_EQ(Parse("device\nsymlink " + stem + "A\ndevice\nsymlink " + stem + "BB\n").size(), 2u)
      << "a different length is a different identity";

  std::string text;
  for (int i = 0; i < 255; ++i) text += "device\nsymlink /d" + std::to_string(i) + "\n";
  EXPECT_EQ(Parse(text).size(), 255u);
  EXPECT_EQ(ParseError(text + "device\n"), "line 511: more than 255 devices");
}

TEST(SimDeviceRecords, BuildersFillTheRecordAndKeepTheTablesSorted) {
  THIDdeviceInfo d = SimMakeDevice("/dev/x", 0x1234, 0x00AB, "Widget", "ACME", "S1", 0x0102, false);
  EXPECT_EQ(ReadShortString(d.SymLink), "/dev/x");
  EXPECT_EQ(ReadShortString(d.ProductString), "Widget");
  EXPECT_EQ(ReadShortString(d.ManufacturerString), "ACME");
  EXPECT_EQ(ReadShortString(d.SerialNumberString), "S1");
  EXPECT_EQ(+d.VersionNumber, 0x0102);
  EXPECT_EQ(d.HasReadWriteAccess, 0);

  // A name cut at 255 bytes never splits a UTF-8 character.
  std::string name(254, 'a');
  name += "\xC3\xA9";
  EXPECT_EQ(ReadShortString(SimMakeDevice("/y", 0, 0, name).ProductString).size(), 254u);

  EXPECT_TRUE(SimAddReport(d, vyhid::ReportKind::kOutput, 5, 16));
  EXPECT_TRUE(SimAddReport(d, vyhid::ReportKind::kOutput, 2, 4));
  EXPECT_FALSE(SimAddReport(d, vyhid::ReportKind::kOutput, 5, 1)) << "ID already there";
  EXPECT_FALSE(SimAddReport(d, vyhid::ReportKind::kOutput, 6, 0));
  EXPECT_FALSE(SimAddReport(d, vyhid::ReportKind::kOutput, 6, kSimMaxReportBytes + 1));
  ExpectCap(d, vyhid::ReportKind::kOutput, 0, 2, 4);
  ExpectCap(d, vyhid::ReportKind::kOutput, 1, 5, 16);
  ExpectCap(d, vyhid::ReportKind::kOutput, 2, 0, 0);
  EXPECT_EQ(+d.OutputBufferSize, 17);

  SimSetReportCaps(d, vyhid::ReportKind::kInput, 9, TReportCapabilities{7, 1, 8, 2});
  SimSetReportCaps(d, vyhid::ReportKind::kInput, 10, TReportCapabilities{7, 1, 8, 2});  // ignored
  EXPECT_EQ(+Cap(d, vyhid::ReportKind::kInput, 9).Usage, 7);
  SimSetBufferSizes(d, 1, 2, 3);
  EXPECT_EQ(d.OutputBufferSize + d.InputBufferSize * 10 + d.FeatureBufferSize * 100, 321);
}

}  // namespace
