// Golden files: real devices' report descriptors with the report lengths and
// IDs their top-level collections are known to have. One test case per
// collection. The corpus is tests/data/descriptors (VYHID_HID_CORPUS names
// another folder); without it the test skips, and fails under CI.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Corpus.h"
#include "Prerequisite.h"
#include "descriptor/ReportDescriptor.h"

namespace vyhid::descriptor {
namespace {

namespace fs = std::filesystem;

struct GoldenCase {
  std::string name;  // empty: the corpus is absent
  std::uint16_t usage_page = 0;
  std::uint16_t usage = 0;
  std::uint32_t input_len = 0, output_len = 0, feature_len = 0;
  std::vector<std::uint8_t> report_ids;
};

std::vector<std::uint8_t> ParseIds(const std::string& text) {
  std::vector<std::uint8_t> ids;
  std::stringstream in(text);
  std::string id;
  while (std::getline(in, id, ',')) ids.push_back(static_cast<std::uint8_t>(std::stoul(id)));
  return ids;
}

// expected.tsv: name, descriptor bytes, usage page, usage, input, output and
// feature lengths (one byte for the report ID included), report IDs.
std::vector<GoldenCase> LoadCases() {
  std::vector<GoldenCase> cases;
  std::ifstream tsv(CorpusDir() / "expected.tsv");
  std::string line;
  while (std::getline(tsv, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::stringstream fields(line);
    GoldenCase c;
    std::string bytes, page, usage, in, out, feature, ids;
    if (!(fields >> c.name >> bytes >> page >> usage >> in >> out >> feature >> ids)) continue;
    c.usage_page = static_cast<std::uint16_t>(std::stoul(page, nullptr, 16));
    c.usage = static_cast<std::uint16_t>(std::stoul(usage, nullptr, 16));
    c.input_len = static_cast<std::uint32_t>(std::stoul(in));
    c.output_len = static_cast<std::uint32_t>(std::stoul(out));
    c.feature_len = static_cast<std::uint32_t>(std::stoul(feature));
    c.report_ids = ParseIds(ids);
    cases.push_back(std::move(c));
  }
  if (cases.empty()) cases.push_back(GoldenCase{});
  return cases;
}

// A collection's buffer length as the golden data counts it: the longest
// report plus one byte for the report ID, 0 when the kind is absent.
std::uint32_t BufferLength(const TopLevelCollection& tlc, ReportKind kind) {
  const bool has_kind = std::any_of(tlc.reports.begin(), tlc.reports.end(),
                                    [kind](const Report& r) { return r.kind == kind; });
  return has_kind ? tlc.LongestReportBytes(kind) + 1 : 0;
}

void PrintTo(const GoldenCase& c, std::ostream* os) {
  *os << c.name;
}

class Corpus : public testing::TestWithParam<GoldenCase> {};

TEST_P(Corpus, CollectionLengthsAndReportIds) {
  const GoldenCase& c = GetParam();
  if (c.name.empty()) VYHID_MISSING_PREREQUISITE() << "no HID corpus at " << CorpusDir();
  const std::vector<std::uint8_t> bytes = ReadHex(CorpusDir() / (c.name + ".hex"));
  ASSERT_FALSE(bytes.empty());
  const ReportDescriptor d = Parse(bytes);
  // Some recorded descriptors end without closing their last collection;
  // nothing is lost then, and the lengths must still be right.
  ASSERT_TRUE(d.ok() || d.error == ParseError::kUnclosedCollection)
      << Describe(d.error) << " at " << d.error_offset;

  // The first collection of that usage (046D_B010 has two Consumer Control
  // collections; the golden data describes the first).
  const TopLevelCollection* tlc = nullptr;
  for (const TopLevelCollection& t : d.collections) {
    if (t.usage_page == c.usage_page && t.usage == c.usage && tlc == nullptr) tlc = &t;
  }
  ASSERT_NE(tlc, nullptr) << "no top-level collection " << std::hex << c.usage_page << ":"
                          << c.usage;
  EXPECT_EQ(BufferLength(*tlc, ReportKind::kInput), c.input_len);
  EXPECT_EQ(BufferLength(*tlc, ReportKind::kOutput), c.output_len);
  EXPECT_EQ(BufferLength(*tlc, ReportKind::kFeature), c.feature_len);
  EXPECT_EQ(tlc->report_ids, c.report_ids);
}

INSTANTIATE_TEST_SUITE_P(Golden, Corpus, testing::ValuesIn(LoadCases()),
                         [](const testing::TestParamInfo<GoldenCase>& info) {
                           return info.param.name.empty() ? std::string("CorpusAbsent")
                                                          : "D" + info.param.name;
                         });

}  // namespace
}  // namespace vyhid::descriptor
