// The record builder of the Windows bridge, fed with what the system's parser
// tells about real devices: their collections' report lengths as that
// platform computes them (the corpus), and the bits of each report as our
// descriptor parser reads them from the same descriptors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CapsRecord.h"
#include "descriptor/ReportDescriptor.h"

namespace vyhid::win32 {
namespace {

namespace fs = std::filesystem;

fs::path CorpusDir() {
  if (const char* dir = std::getenv("VYHID_HID_CORPUS")) return dir;
  return VYHID_HID_CORPUS_DIR;
}

std::vector<std::uint8_t> ReadHex(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::uint8_t> bytes;
  std::string token;
  while (in >> token) bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
  return bytes;
}

ReportKind Kind(descriptor::ReportKind kind) {
  switch (kind) {
    case descriptor::ReportKind::kInput:
      return ReportKind::kInput;
    case descriptor::ReportKind::kOutput:
      return ReportKind::kOutput;
    default:
      return ReportKind::kFeature;
  }
}

constexpr std::uint64_t kMaxBits = std::uint64_t{1} << 32;

// The capabilities the system's parser gives for the top-level collection
// (page, usage): none for constant items, whose bits go to `padding`, arrays
// as buttons with their usage range. A report with array fields of another
// size than ButtonItem guesses gets padding of 2^32 bits: nothing to prove.
std::vector<ItemCaps> SystemCaps(const std::vector<std::uint8_t>& bytes, std::uint32_t page,
                                 std::uint32_t usage,
                                 std::map<std::pair<int, int>, std::uint64_t>& padding) {
  std::vector<ItemCaps> items;
  descriptor::Item item;
  std::uint32_t g[10] = {}, depth = 0, high = 0,
                first = 0;  // g: globals 0 page, 7-9 size, ID, count
  bool inside = false;
  for (const std::uint8_t *p = bytes.data(), *end = p + bytes.size();
       (p = descriptor::FetchItem(p, end, item)) != nullptr;) {
    using T = descriptor::Item::Type;
    if (item.type == T::kGlobal && item.tag < 10) g[item.tag] = item.data;
    if (item.type == T::kLocal && item.tag <= 2 && item.tag != 2 && first == 0)
      first = item.data | 0x10000;
    if (item.type == T::kLocal && item.tag <= 2) high = std::max(high, item.data & 0xFFFF);
    if (item.type != T::kMain) continue;
    if (item.tag == 0xA && depth++ == 0) inside = g[0] == page && first == (usage | 0x10000);
    if (item.tag == 0xC && depth > 0) --depth;
    const ReportKind kind = item.tag == 8   ? ReportKind::kInput
                            : item.tag == 9 ? ReportKind::kOutput
                                            : ReportKind::kFeature;
    const std::pair<int, int> key{static_cast<int>(kind), static_cast<int>(g[8] & 0xFF)};
    const auto u16 = [](std::uint32_t v) { return static_cast<std::uint16_t>(v); };
    if (inside && (item.tag == 8 || item.tag == 9 || item.tag == 0xB)) {
      if ((item.data & 1) != 0)
        padding[key] += std::uint64_t{g[7]} * g[9];
      else if ((item.data & 2) != 0)
        items.push_back({kind, static_cast<std::uint8_t>(key.second), u16(g[7]), u16(g[9])});
      else
        items.push_back(ButtonItem({kind, static_cast<std::uint8_t>(key.second), u16(item.data), 0,
                                    u16(high), u16(g[9])}));
      if ((item.data & 3) == 0 && items.back().bit_size != g[7]) padding[key] += kMaxBits;
    }
    high = first = 0;
  }
  return items;
}

struct Table {
  const char* name;
  std::uint16_t length;
  const TReportCapabilities* caps;
  descriptor::ReportKind kind;
};

TEST(CapsRecord, RealDevicesGiveThePlatformsSizesAndEveryReportId) {
  const fs::path dir = CorpusDir();
  std::ifstream tsv(dir / "expected.tsv");
  if (!tsv) GTEST_SKIP() << "no corpus in " << dir;
  std::string line;
  int cases = 0;
  while (std::getline(tsv, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::stringstream fields(line);
    std::string name, bytes, page, usage, in, out, feature, ids;
    fields >> name >> bytes >> page >> usage >> in >> out >> feature >> ids;
    SCOPED_TRACE(name);
    const std::vector<std::uint8_t> hex = ReadHex(dir / (name + ".hex"));
    const descriptor::ReportDescriptor parsed = descriptor::Parse(hex);
    CollectionCaps collection;
    collection.usage_page = static_cast<std::uint16_t>(std::stoul(page, nullptr, 16));
    collection.usage = static_cast<std::uint16_t>(std::stoul(usage, nullptr, 16));
    collection.input_length = static_cast<std::uint16_t>(std::stoul(in));
    collection.output_length = static_cast<std::uint16_t>(std::stoul(out));
    collection.feature_length = static_cast<std::uint16_t>(std::stoul(feature));
    const descriptor::TopLevelCollection* tlc = nullptr;
    for (const auto& c : parsed.collections) {
      if (c.usage_page == collection.usage_page && c.usage == collection.usage) tlc = &c;
    }
    ASSERT_NE(tlc, nullptr);
    std::vector<ItemCaps> items;
    for (const descriptor::ReportLength& r : tlc->reports) {
      items.push_back({Kind(r.kind), r.report_id, 1, static_cast<std::uint16_t>(r.bits)});
    }

    THIDdeviceInfo info{};
    FillCapabilities(collection, items, info);
    EXPECT_EQ(info.InputBufferSize, collection.input_length);
    EXPECT_EQ(info.OutputBufferSize, collection.output_length);
    EXPECT_EQ(info.FeatureBufferSize, collection.feature_length);

    const Table tables[] = {
        {"input", collection.input_length, info.InputReportCaps, descriptor::ReportKind::kInput},
        {"output", collection.output_length, info.OutputReportCaps,
         descriptor::ReportKind::kOutput},
        {"feature", collection.feature_length, info.FeatureReportCaps,
         descriptor::ReportKind::kFeature}};
    for (const Table& t : tables) {
      SCOPED_TRACE(t.name);
      std::vector<const descriptor::ReportLength*> reports;
      for (const auto& r : tlc->reports) {
        if (r.kind == t.kind) reports.push_back(&r);
      }
      for (std::size_t i = 0; i < 10; ++i) {
        const TReportCapabilities entry = t.caps[i];
        if (i >= reports.size() || t.length == 0) {
          EXPECT_EQ(entry.ReportCount, 0) << "entry " << i;
          continue;
        }
        EXPECT_EQ(entry.ReportId, reports[i]->report_id);
        EXPECT_EQ(entry.Usage, collection.usage);
        EXPECT_EQ(entry.ReportSize, 8);
        // No report is longer than the buffer the platform sizes for it,
        // and the longest one fills it.
        EXPECT_LE(entry.ReportCount + 1, t.length);
        EXPECT_GT(entry.ReportCount, 0);
      }
      if (t.length > 0 && !reports.empty() && reports.size() <= 10) {
        std::uint32_t longest = 0;
        for (std::size_t i = 0; i < reports.size(); ++i) {
          longest = std::max<std::uint32_t>(longest, t.caps[i].ReportCount);
        }
        EXPECT_EQ(longest + 1, t.length);
      }
    }
    // Each report's payload from the system's capabilities is what the
    // parser declares less constant padding (one report of another ID added
    // so that none takes the length), arrays of keys among them.
    std::map<std::pair<int, int>, std::uint64_t> padding;
    const auto system = SystemCaps(hex, collection.usage_page, collection.usage, padding);
    for (const descriptor::ReportLength& r : tlc->reports) {
      const std::uint64_t pad = padding[{static_cast<int>(Kind(r.kind)), r.report_id}];
      if (pad >= r.bits) continue;  // all padding, or fields of unknown size
      std::vector<ItemCaps> own{{Kind(r.kind), static_cast<std::uint8_t>(r.report_id == 0), 8, 1}};
      for (const ItemCaps& i : system) {
        if (i.kind == Kind(r.kind) && i.report_id == r.report_id) own.push_back(i);
      }
      THIDdeviceInfo one{};
      FillCapabilities({0, 0, 0xFFFF, 0xFFFF, 0xFFFF}, own, one);
      EXPECT_EQ(CapabilityTable(one, Kind(r.kind))[r.report_id == 0 ? 0 : 1].ReportCount,
                std::min<std::uint64_t>((r.bits - pad + 7) / 8, 255))
          << "report " << int{r.report_id};
    }
    ++cases;
  }
  EXPECT_GE(cases, 20);
}

// The item capabilities leave out constant padding; a single report's payload
// then comes from the length, several reports' from their items.
TEST(CapsRecord, PaddingAndSeveralReports) {
  // A mouse: 3 buttons and 5 bits of padding, then X and Y: 3 payload bytes.
  const ItemCaps mouse[] = {{ReportKind::kInput, 0, 1, 3}, {ReportKind::kInput, 0, 8, 2}};
  THIDdeviceInfo info{};
  FillCapabilities({0x01, 0x02, 4, 0, 0}, mouse, info);
  EXPECT_EQ(info.InputBufferSize, 4);
  EXPECT_EQ(info.InputReportCaps[0].ReportCount, 3);
  EXPECT_EQ(info.InputReportCaps[0].Usage, 0x02);
  EXPECT_EQ(info.OutputBufferSize, 0);
  EXPECT_EQ(info.OutputReportCaps[0].ReportCount, 0);

  // Twelve feature reports, IDs out of order: the ten lowest, ascending.
  std::vector<ItemCaps> many;
  for (int id = 12; id >= 1; --id) {
    many.push_back(
        {ReportKind::kFeature, static_cast<std::uint8_t>(id), 8, static_cast<std::uint16_t>(id)});
  }
  FillCapabilities({0xFF00, 0x01, 0, 0, 13}, many, info);
  EXPECT_EQ(info.FeatureBufferSize, 13);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(info.FeatureReportCaps[i].ReportId, i + 1);
    EXPECT_EQ(info.FeatureReportCaps[i].ReportCount, i + 1);
  }
  // A report longer than 255 bytes says 255.
  const ItemCaps big[] = {{ReportKind::kOutput, 1, 8, 300}, {ReportKind::kOutput, 2, 8, 1}};
  FillCapabilities({0xFF00, 0x01, 0, 301, 0}, big, info);
  EXPECT_EQ(info.OutputReportCaps[0].ReportCount, 255);
  EXPECT_EQ(info.OutputReportCaps[1].ReportCount, 1);
}

// A send takes the payload of its own report ID, not the longest report's.
TEST(CapsRecord, PayloadTakenIsTheReportsOwn) {
  const ItemCaps items[] = {{ReportKind::kOutput, 1, 8, 2},
                            {ReportKind::kOutput, 2, 8, 100},
                            {ReportKind::kFeature, 0, 8, 7}};
  THIDdeviceInfo info{};
  FillCapabilities({0xFF00, 0x01, 0, 101, 8}, items, info);
  EXPECT_EQ(PayloadTaken(info, ReportKind::kOutput, 1), 2);
  EXPECT_EQ(PayloadTaken(info, ReportKind::kOutput, 2), 64);  // at most 64
  EXPECT_EQ(PayloadTaken(info, ReportKind::kOutput, 9), 64);  // unlisted: the longest
  EXPECT_EQ(PayloadTaken(info, ReportKind::kFeature, 0), 7);
  EXPECT_EQ(PayloadTaken(info, ReportKind::kInput, 0), 0);
}

// Every read is padded to the longest input report: each report is cut to
// its own ID's length, longer than 64 bytes too, an unlisted ID to the
// longest, a short read to itself.
TEST(CapsRecord, InputReportsKeepTheirOwnLength) {
  const ItemCaps items[] = {{ReportKind::kInput, 1, 8, 3}, {ReportKind::kInput, 2, 8, 200}};
  THIDdeviceInfo info{};
  FillCapabilities({0xFF00, 0x01, 201, 0, 0}, items, info);
  EXPECT_EQ(InputPayload(info, 1, 201), 3u);
  EXPECT_EQ(InputPayload(info, 2, 201), 200u);
  EXPECT_EQ(InputPayload(info, 7, 201), 200u);
  EXPECT_EQ(InputPayload(info, 2, 5), 4u);
  EXPECT_EQ(InputPayload(info, 1, 0), 0u);
}

}  // namespace
}  // namespace vyhid::win32
