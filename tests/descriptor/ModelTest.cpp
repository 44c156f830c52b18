// The descriptor as a model: fields of real devices' reports, reports decoded
// to what a user reads and encoded from values by usage name, usage names.
// Expected values are worked out by hand from the descriptor bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Corpus.h"
#include "descriptor/ReportCodec.h"
#include "descriptor/UsageNames.h"

namespace vyhid::descriptor {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string& text) {
  std::istringstream in(text);
  Bytes bytes;
  std::string word;
  while (in >> word) bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
  return bytes;
}

// A descriptor given as hex, or a corpus file's name.
Bytes Descriptor(const std::string& source) {
  if (source.find(' ') != std::string::npos) return FromHex(source);
  // The corpus is in the repository: a missing file is a failure here.
  Bytes bytes = ReadHex(CorpusDir() / (source + ".hex"));
  if (bytes.empty()) ADD_FAILURE() << "no corpus file " << (CorpusDir() / source);
  return bytes;
}

// A decoded report as a user reads it: "X=-3" ("X=50(196.1)" with a physical
// value, "X=null" outside the range), an array's active usages by name.
std::string Text(const DecodedReport& decoded) {
  std::string text;
  for (const Value& v : decoded.values) {
    if (!text.empty()) text += ' ';
    text += UsageName(v.usage);
    if (v.is_array) continue;
    text += v.is_null ? "=null" : "=" + std::to_string(v.logical);
    if (v.physical) {
      char physical[32];
      std::snprintf(physical, sizeof physical, "(%g)", *v.physical);
      text += physical;
    }
  }
  return text;
}

struct DecodeCase {
  const char* name;
  std::string descriptor;  // a corpus file, or hex bytes
  std::string report;      // as the device sends it, with its ID byte if numbered
  std::string expected;
};

class DecodeReport : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeReport, ShowsWhatTheDeviceMeant) {
  const DecodeCase& c = GetParam();
  const ReportDescriptor d = Parse(Descriptor(c.descriptor));
  const DecodedReport decoded = Decode(d, ReportKind::kInput, FromHex(c.report));
  ASSERT_NE(decoded.report, nullptr);
  EXPECT_EQ(Text(decoded), c.expected);
}

const char* const kB8 = "Button2=0 Button3=0 Button4=0 Button5=0 Button6=0 Button7=0 Button8=0";
// The class definition's boot mouse: three buttons, five bits of padding, X, Y.
const char* const kBootMouse =
    "05 01 09 02 A1 01 09 01 A1 00 05 09 19 01 29 03 15 00 25 01 95 03 75 01 81 02 95 01 75 05 "
    "81 01 05 01 09 30 09 31 15 81 25 7F 75 08 95 02 81 06 C0 C0";
// A 4-bit hat switch of eight positions, 0 to 315 degrees, with a null state.
const char* const kHat =
    "05 01 09 05 A1 01 09 39 15 00 25 07 35 00 46 3B 01 65 14 75 04 95 01 81 42 75 04 81 01 C0";

INSTANTIATE_TEST_SUITE_P(
    Known, DecodeReport,
    testing::Values(
        DecodeCase{"BootMouse", kBootMouse, "01 fd 02", "Button1=1 Button2=0 Button3=0 X=-3 Y=2"},
        // Eight button bits under three usages: the last usage repeats.
        DecodeCase{"Mouse4Bytes", "046D_C077_0002_0001", "01 00 fd 02",
                   "Button1=1 Button2=0 Button3=0 Button3=0 Button3=0 Button3=0 Button3=0 "
                   "Button3=0 X=0 Y=-3 Wheel=2"},
        // Report ID 2, X and Y of 12 bits each sharing byte 3.
        DecodeCase{"Mouse12BitAxes", "046D_B010_0002_0001", "02 01 fd 2f 00 ff 00",
                   std::string("Button1=1 ") + kB8 + " X=-3 Y=2 Wheel=-1 ACPan=0"},
        DecodeCase{"KeyboardShiftAB", "046D_C534_0006_0001", "02 00 04 05 00 00 00 00",
                   "LeftControl=0 LeftShift=1 LeftAlt=0 LeftGUI=0 RightControl=0 RightShift=0 "
                   "RightAlt=0 RightGUI=0 A B"},
        DecodeCase{"KeyboardOutOfRangeKeyIsNoKey", "046D_C534_0006_0001", "00 00 e0 29 00 00 00 00",
                   "LeftControl=0 LeftShift=0 LeftAlt=0 LeftGUI=0 RightControl=0 RightShift=0 "
                   "RightAlt=0 RightGUI=0 Escape"},
        DecodeCase{"HatPhysical", kHat, "02", "HatSwitch=2(90)"},
        DecodeCase{"HatNullState", kHat, "0f", "HatSwitch=null"},
        DecodeCase{"ShortReportDecodesWhatFits", kBootMouse, "01 fd",
                   "Button1=1 Button2=0 Button3=0 X=-3"}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

TEST(DecodeReport, UnknownReportIdDecodesNothing) {
  const ReportDescriptor d = Parse(Descriptor("046D_B010_0002_0001"));
  EXPECT_EQ(Decode(d, ReportKind::kInput, FromHex("09 01 02")).report, nullptr);
  EXPECT_EQ(Decode(d, ReportKind::kInput, {}).report, nullptr);
}

// Fields of a real mouse in order, and where they sit in the collections.
TEST(Model, RealMouseFieldsAndCollectionPath) {
  const ReportDescriptor d = Parse(Descriptor("046D_B010_0002_0001"));
  const Report* mouse = d.FindReport(ReportKind::kInput, 2);
  ASSERT_NE(mouse, nullptr);
  ASSERT_EQ(mouse->fields.size(), 4u);
  const Field& buttons = mouse->fields[0];
  EXPECT_EQ(buttons.bit_offset, 0u);
  EXPECT_EQ(buttons.bit_size * buttons.count, 8u);
  ASSERT_EQ(buttons.usages.size(), 1u);
  EXPECT_TRUE(buttons.usages[0].is_range);
  EXPECT_EQ(buttons.usages[0].maximum, MakeUsage(0x09, 8));
  EXPECT_TRUE(buttons.IsVariable() && !buttons.IsRelative() && !buttons.IsSigned());
  const Field& axes = mouse->fields[1];
  EXPECT_EQ(axes.bit_offset, 8u);
  EXPECT_EQ(axes.bit_size, 12u);
  EXPECT_EQ(axes.count, 2u);
  EXPECT_EQ(axes.ElementUsage(1), MakeUsage(0x01, 0x31));
  EXPECT_EQ(axes.logical_minimum, -2047);
  EXPECT_EQ(axes.logical_maximum, 2047);
  EXPECT_TRUE(axes.IsRelative() && axes.IsSigned());
  EXPECT_EQ(mouse->fields[3].bit_offset + 8, mouse->bits);
  const std::vector<Collection> path = d.CollectionPath(axes);
  ASSERT_EQ(path.size(), 2u);
  EXPECT_EQ(path[0].type, 1);  // application
  EXPECT_EQ(path[0].usage, MakeUsage(0x01, 0x02));
  EXPECT_EQ(path[1].type, 0);  // physical
  EXPECT_EQ(path[1].usage, MakeUsage(0x01, 0x01));
  EXPECT_STREQ(CollectionTypeName(path[0].type), "Application");
  EXPECT_STREQ(CollectionTypeName(0x80), "Vendor-defined");
}

// Extended usages, a delimiter set, PUSH/POP, a long item, unit and exponent.
TEST(Model, ItemsOfTheClassDefinition) {
  const ReportDescriptor d = Parse(FromHex(
      "05 01 09 04 A1 01 0B E9 00 0C 00 A9 01 09 30 09 31 A9 00 15 00 26 FF 00 35 00 46 E8 03 "
      "65 11 55 0E 75 08 95 02 A4 81 02 15 81 25 7F FE 01 00 AA 09 32 81 06 B4 09 33 95 01 81 02 "
      "C0"));
  ASSERT_TRUE(d.ok()) << Describe(d.error);
  // The items by name, as a listing of the descriptor shows them.
  std::vector<std::string> names;
  const std::vector<std::uint8_t> some = FromHex("0B E9 00 0C 00 A9 01 B4 FE 01 00 AA 81 02 C0");
  Item item;
  for (const std::uint8_t* p = some.data(); (p = FetchItem(p, some.data() + some.size(), item));) {
    names.emplace_back(ItemName(item));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Usage", "Delimiter", "Pop", "Long Item", "Input",
                                             "End Collection"}));
  const Report* r = d.FindReport(ReportKind::kInput, 0);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->fields.size(), 3u);
  const Field& first = r->fields[0];
  ASSERT_EQ(first.UsageCount(), 2u);  // Y was only an alternative of X
  EXPECT_EQ(first.UsageAt(0), MakeUsage(0x0C, 0xE9));
  EXPECT_EQ(first.UsageAt(1), MakeUsage(0x01, 0x30));
  EXPECT_TRUE(first.has_physical);
  EXPECT_EQ(first.physical_maximum, 1000);
  EXPECT_EQ(first.unit, 0x11u);
  EXPECT_EQ(first.unit_exponent, -2);
  EXPECT_EQ(r->fields[1].logical_minimum, -127);
  EXPECT_EQ(r->fields[1].bit_offset, 16u);
  EXPECT_EQ(r->fields[2].logical_minimum, 0);  // POP restored 0..255
  EXPECT_EQ(r->fields[2].logical_maximum, 255);
  EXPECT_EQ(r->bits, 40u);
  EXPECT_EQ(Text(Decode(*r, FromHex("ff 00 fd 03 07"))),
            "VolumeIncrement=255(1000) X=0(0) Z=-3(488.189) Z=3(511.811) Rx=7(27.451)");
}

// A main item of no bits under a report ID keeps its report: no fields, the
// ID byte alone, and the collection counts it.
TEST(Model, ReportOfNoBitsIsKept) {
  const ReportDescriptor d = Parse(
      FromHex("06 00 FF 09 01 A1 01 85 01 75 08 95 02 81 02 85 02 95 00 B1 02 75 00 91 02 C0"));
  const Report* feature = d.FindReport(ReportKind::kFeature, 2);
  ASSERT_NE(feature, nullptr);
  EXPECT_TRUE(feature->fields.empty());
  EXPECT_EQ(d.ReportBytes(ReportKind::kOutput, 2), 0u);
  EXPECT_EQ(d.collections[0].report_ids, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(ReportEncoder(*feature).Bytes(), Bytes{0x02});
  EXPECT_EQ(d.reports.size(), 3u);
  // Without report IDs such an item declares nothing.
  EXPECT_TRUE(Parse(FromHex("75 08 95 00 81 02")).reports.empty());
}

// Output reports built by usage name, as `NumLock=1` asks.
TEST(Encode, KeyboardLedsByName) {
  const ReportDescriptor plain = Parse(Descriptor("046D_C534_0006_0001"));
  const Report* leds = plain.FindReport(ReportKind::kOutput, 0);
  ASSERT_NE(leds, nullptr);
  ReportEncoder encoder(*leds);
  const auto num_lock = FindUsageInReport(*leds, "NumLock");
  ASSERT_TRUE(num_lock.has_value());
  EXPECT_EQ(encoder.Set(*num_lock, 1), "");
  EXPECT_EQ(encoder.Bytes(), Bytes{0x01});
  EXPECT_EQ(encoder.Set(*FindUsageInReport(*leds, "CapsLock"), 1), "");
  EXPECT_EQ(encoder.Set(*num_lock, 0), "");
  EXPECT_EQ(encoder.Bytes(), Bytes{0x02});
  EXPECT_NE(encoder.Set(*num_lock, 2).find("outside the logical range 0..1"), std::string::npos);
  // A range wider than the field's bits: refused, never stored cut.
  const ReportDescriptor wide = Parse(FromHex("09 01 15 00 26 FF 01 75 04 95 01 91 02"));
  ReportEncoder cut(*wide.FindReport(ReportKind::kOutput, 0));
  EXPECT_NE(cut.Set(MakeUsage(0, 1), 16).find("does not fit in the field's 4 unsigned bits"),
            std::string::npos);
  EXPECT_EQ(cut.Set(MakeUsage(0, 1), 15), "");
  EXPECT_EQ(cut.Bytes(), Bytes{0x0F});
  EXPECT_FALSE(FindUsageInReport(*leds, "X").has_value());
  EXPECT_NE(encoder.Set(MakeUsage(0x01, 0x30), 1).find("no field"), std::string::npos);

  const ReportDescriptor numbered = Parse(Descriptor("046D_B010_0006_0001"));
  ReportEncoder with_id(*numbered.FindReport(ReportKind::kOutput, 4));
  EXPECT_EQ(with_id.Set(*num_lock, 1), "");
  EXPECT_EQ(with_id.Bytes(), (Bytes{0x04, 0x01}));
}

// Array fields: usages go into free slots, come out again, and run out.
TEST(Encode, KeyboardArraySlotsRoundTrip) {
  const ReportDescriptor d = Parse(Descriptor("046D_C534_0006_0001"));
  const Report& keys = *d.FindReport(ReportKind::kInput, 0);
  ReportEncoder encoder(keys);
  for (const char* key : {"A", "B", "C", "D", "E", "F"}) {
    EXPECT_EQ(encoder.Set(*FindUsageInReport(keys, key), 1), "") << key;
  }
  EXPECT_NE(encoder.Set(*FindUsageInReport(keys, "G"), 1).find("every slot"), std::string::npos);
  EXPECT_EQ(encoder.Set(*FindUsageInReport(keys, "A"), 0), "");
  EXPECT_EQ(encoder.Set(*FindUsageInReport(keys, "LeftShift"), 1), "");
  EXPECT_EQ(encoder.Set(*FindUsageInReport(keys, "G"), 1), "");
  EXPECT_EQ(Text(Decode(keys, encoder.Bytes())),
            "LeftControl=0 LeftShift=1 LeftAlt=0 LeftGUI=0 RightControl=0 RightShift=0 "
            "RightAlt=0 RightGUI=0 G B C D E F");
}

TEST(UsageNames, NamedListedByRuleAndReadBack) {
  const std::pair<Usage, const char*> names[] = {{MakeUsage(0x01, 0x30), "X"},
                                                 {MakeUsage(0x02, 0xBB), "Throttle"},
                                                 {MakeUsage(0x07, 0x04), "A"},
                                                 {MakeUsage(0x08, 0x01), "NumLock"},
                                                 {MakeUsage(0x09, 12), "Button12"},
                                                 {MakeUsage(0x0C, 0xE9), "VolumeIncrement"},
                                                 {MakeUsage(0x0D, 0x42), "TipSwitch"},
                                                 {MakeUsage(0x0C, 0x0FFF), "Consumer:0x0FFF"},
                                                 {MakeUsage(0xFF00, 0x01), "VendorFF00:0x0001"},
                                                 {MakeUsage(0x1234, 0x05), "0x1234:0x0005"}};
  for (const auto& [usage, name] : names) {
    EXPECT_EQ(UsageName(usage), name);
    const std::vector<Usage> found = FindUsages(name);
    EXPECT_NE(std::find(found.begin(), found.end(), usage), found.end()) << name;
  }
  EXPECT_EQ(PageName(0x0D), "Digitizers");
  EXPECT_EQ(PageName(0xFFA0), "VendorFFA0");
  EXPECT_EQ(FindUsages("Mute"), (std::vector<Usage>{MakeUsage(0x07, 0x7F), MakeUsage(0x08, 0x09),
                                                    MakeUsage(0x0C, 0xE2)}));
  // One spelling per usage.
  EXPECT_TRUE(FindUsages("Button012").empty());
  EXPECT_TRUE(FindUsages("Consumer:0x00E2").empty());
  EXPECT_TRUE(FindUsages("VendorFF00:0x1").empty());
}

}  // namespace
}  // namespace vyhid::descriptor
