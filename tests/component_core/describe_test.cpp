// The eleven description lines and the summary record of a slot.
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "TestVyHID.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

// Descriptions need no bridge: a component in design mode has its lists.
struct DesignerForm : rtl::TComponent {
  DesignerForm() : rtl::TComponent(nullptr) { SetDesigning(true); }
};

class Describe : public ::testing::Test {
 protected:
  Describe() { EXPECT_TRUE(hid.InState(rtl::csDesigning)); }

  // Describes the record in slot nr, as the scan does.
  std::vector<std::string> Describe_(int nr, const THIDdeviceInfo& device) {
    hid.HIDinfoArray.at(static_cast<std::size_t>(nr)).HIDinfo = device;
    hid.GetDevDataAsStrings(nr, device);
    return Lines(hid, nr);
  }
  const TVyHIDdeviceInfo& Summary(int nr) {
    return hid.HIDinfoArray.at(static_cast<std::size_t>(nr)).VyHIDinfo;
  }

  DesignerForm designer;
  MessageCapture messages;  // design mode shows nothing; keep stderr quiet if it did
  TestVyHID hid{&designer};
};

THIDdeviceInfo WorkedExample() {
  return MakeDevice({.VID = 0x1234,
                     .PID = 0x00AB,
                     .Manufacturer = "ACME",
                     .Product = "Widget",
                     .OutputBufferSize = 65,
                     .InputBufferSize = 17,
                     .FeatureBufferSize = 0,
                     .OutputCaps = {{0, 0, 0, 64}},
                     .InputCaps = {{0, 1, 0, 8}, {0, 2, 0, 16}}});
}

TEST_F(Describe, WorkedExampleByteForByte) {
  const std::vector<std::string> expected = {
      "------------------------------------------------",
      "Device Number       : 1",
      "",
      "VID:1234 PID:00AB  Widget (ACME) [R/W]",
      "",
      "Output Buffer size  : 65",
      "Input Buffer size   : 17",
      "Feature Buffer size : 0",
      "Output Report(s)    : ReportId 0 (64 bytes)",
      "Input Report(s)     : ReportId 1 (8 bytes); ReportId 2 (16 bytes)",
      "Feature Report(s)   : 0"};
  EXPECT_EQ(Describe_(1, WorkedExample()), expected);
  EXPECT_EQ(hid.HIDinfoArray[1].HIDstringsInfo->Text(),
            rtl::String(u"------------------------------------------------\r\n"
                        u"Device Number       : 1\r\n\r\n"
                        u"VID:1234 PID:00AB  Widget (ACME) [R/W]\r\n\r\n"
                        u"Output Buffer size  : 65\r\n"
                        u"Input Buffer size   : 17\r\n"
                        u"Feature Buffer size : 0\r\n"
                        u"Output Report(s)    : ReportId 0 (64 bytes)\r\n"
                        u"Input Report(s)     : ReportId 1 (8 bytes); ReportId 2 (16 bytes)\r\n"
                        u"Feature Report(s)   : 0\r\n"));
  const TVyHIDdeviceInfo& s = Summary(1);
  EXPECT_EQ(Field(s.ReportOutID), 0);
  EXPECT_EQ(Field(s.ReportOutBytes), 64);
  EXPECT_EQ(Field(s.ReportInID), 2);
  EXPECT_EQ(Field(s.ReportInBytes), 16);
  EXPECT_EQ(Field(s.FeatureID), -1);
  EXPECT_EQ(Field(s.FeatureBytes), -1);
  EXPECT_EQ(Field(s.VID), 0x1234);
  EXPECT_EQ(Field(s.PID), 0x00AB);
  EXPECT_EQ(Field(s.OutputBufferSize), 65);
  EXPECT_EQ(Field(s.InputBufferSize), 17);
  EXPECT_EQ(Field(s.HasReadWriteAccess), 1);
  EXPECT_EQ(ReadShortString(s.ProductString), "Widget");
  EXPECT_TRUE(messages.Messages().empty());
  // Other slots are untouched.
  EXPECT_EQ(hid.HIDinfoArray[0].HIDstringsInfo->Count(), 0);
}

TEST_F(Describe, ReportTables) {
  // Entries without a count are skipped whatever else they carry.
  THIDdeviceInfo d = MakeDevice({.FeatureCaps = {{0x55, 3, 8, 0}, {0x66, 4, 8, 0}}});
  EXPECT_EQ(Describe_(0, d)[10], "Feature Report(s)   : 0");
  EXPECT_EQ(Field(Summary(0).FeatureID), -1);
  EXPECT_EQ(Field(Summary(0).FeatureBytes), -1);

  std::vector<TReportCapabilities> ten;
  std::string items;
  for (std::uint8_t i = 0; i < 10; ++i) {
    ten.push_back({0, static_cast<std::uint8_t>(10 + i), 8, static_cast<std::uint8_t>(i + 1)});
    if (i) items += "; ";
    items += "ReportId " + std::to_string(10 + i) + " (" + std::to_string(i + 1) + " bytes)";
  }
  d = MakeDevice({.OutputCaps = ten});
  EXPECT_EQ(Describe_(0, d)[8], "Output Report(s)    : " + items);
  EXPECT_EQ(Field(Summary(0).ReportOutID), 19);
  EXPECT_EQ(Field(Summary(0).ReportOutBytes), 10);

  d = MakeDevice({.InputCaps = {{0, 5, 8, 3}, {0, 6, 8, 0}, {0, 7, 8, 255}}});
  EXPECT_EQ(Describe_(0, d)[9],
            "Input Report(s)     : ReportId 5 (3 bytes); ReportId 7 (255 bytes)");
  EXPECT_EQ(Field(Summary(0).ReportInID), 7);
  EXPECT_EQ(Field(Summary(0).ReportInBytes), 255);

  d = MakeDevice({.FeatureCaps = {{0, 0, 8, 2}}});
  EXPECT_EQ(Describe_(0, d)[10], "Feature Report(s)   : ReportId 0 (2 bytes)");
  EXPECT_EQ(Field(Summary(0).FeatureID), 0);
  EXPECT_EQ(Field(Summary(0).FeatureBytes), 2);
}

TEST_F(Describe, NumbersAndNames) {
  THIDdeviceInfo d =
      MakeDevice({.VID = 0x000F, .PID = 0xFFFF, .OutputBufferSize = 65535, .ReadWrite = false});
  std::vector<std::string> lines = Describe_(31, d);
  EXPECT_EQ(lines[1], "Device Number       : 31");
  EXPECT_EQ(lines[3], "VID:000F PID:FFFF   () [R/O]");
  EXPECT_EQ(lines[5], "Output Buffer size  : 65535");

  const std::string longName(255, 'n');
  d = MakeDevice({.Manufacturer = "M", .Product = longName});
  EXPECT_EQ(Describe_(2, d)[3], "VID:0000 PID:0000  " + longName + " (M) [R/W]");

#if defined(_WIN32)
  // Names are in the ANSI code page, here 1252: every byte is a character.
  if (::GetACP() == 1252) {
    d = MakeDevice({.Manufacturer = "Gr\xFC\xDF"
                                    "e",
                    .Product = "a\xFF"
                               "b"});
    EXPECT_EQ(Describe_(2, d)[3],
              "VID:0000 PID:0000  a\xC3\xBF"
              "b (Gr\xC3\xBC\xC3\x9F"
              "e) [R/W]");
  }
#else
  // Names are UTF-8; a broken sequence shows as U+FFFD, nothing is dropped.
  d = MakeDevice({.Manufacturer = "Gr\xC3\xBC\xC3\x9F"
                                  "e",
                  .Product = "a\xFF"
                             "b"});
  EXPECT_EQ(Describe_(2, d)[3],
            "VID:0000 PID:0000  a\xEF\xBF\xBD"
            "b (Gr\xC3\xBC\xC3\x9F"
            "e) [R/W]");
#endif

  // Only the counted bytes are read, whatever follows them.
  WriteShortString(d.ProductString, "abcdef");
  d.ProductString.Length = 3;
  WriteShortString(d.ManufacturerString, "");
  std::memset(d.ManufacturerString.Chars, 'x', sizeof d.ManufacturerString.Chars);
  EXPECT_EQ(Describe_(2, d)[3], "VID:0000 PID:0000  abc () [R/W]");
}

TEST_F(Describe, SecondCallReplacesTheDescription) {
  Describe_(4, WorkedExample());
  const std::vector<std::string> again = Describe_(4, WorkedExample());
  EXPECT_EQ(again.size(), 11u);
  EXPECT_EQ(again[1], "Device Number       : 4");
}

TEST_F(Describe, OpenPathTextFollowsTheFreshRecordSummaryKeepsTheSlots) {
  // The slot holds what the scan stored; the record read at open differs.
  THIDdeviceInfo scanned = WorkedExample();
  hid.HIDinfoArray[3].HIDinfo = scanned;
  THIDdeviceInfo fresh = scanned;
  fresh.HasReadWriteAccess = 0;
  fresh.InputBufferSize = 33;
  fresh.FeatureReportCaps[0] = {0, 9, 8, 5};
  hid.GetDevDataAsStrings(3, fresh);

  const std::vector<std::string> lines = Lines(hid, 3);
  EXPECT_EQ(lines[3], "VID:1234 PID:00AB  Widget (ACME) [R/O]");
  EXPECT_EQ(lines[6], "Input Buffer size   : 33");
  EXPECT_EQ(lines[10], "Feature Report(s)   : ReportId 9 (5 bytes)");
  const TVyHIDdeviceInfo& s = Summary(3);
  EXPECT_EQ(Field(s.HasReadWriteAccess), 1);
  EXPECT_EQ(Field(s.InputBufferSize), 17);
  EXPECT_EQ(Field(s.FeatureID), 9);
  EXPECT_EQ(Field(s.FeatureBytes), 5);
  // The slot's own record is left alone.
  EXPECT_EQ(std::memcmp(&hid.HIDinfoArray[3].HIDinfo, &scanned, sizeof scanned), 0);
}

}  // namespace
}  // namespace vyhid_test
