#include "descriptor/ReportDescriptor.h"

#include <algorithm>
#include <limits>

namespace vyhid::descriptor {
namespace {

// Item tags of the short items the parser acts on.
namespace main_tag {
constexpr std::uint8_t kInput = 0x8;
constexpr std::uint8_t kOutput = 0x9;
constexpr std::uint8_t kCollection = 0xA;
constexpr std::uint8_t kFeature = 0xB;
constexpr std::uint8_t kEndCollection = 0xC;
}  // namespace main_tag
namespace global_tag {
constexpr std::uint8_t kUsagePage = 0x0;
constexpr std::uint8_t kReportSize = 0x7;
constexpr std::uint8_t kReportId = 0x8;
constexpr std::uint8_t kReportCount = 0x9;
constexpr std::uint8_t kPush = 0xA;
constexpr std::uint8_t kPop = 0xB;
}  // namespace global_tag
namespace local_tag {
constexpr std::uint8_t kUsage = 0x0;
constexpr std::uint8_t kUsageMinimum = 0x1;
}  // namespace local_tag

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// The global items that matter for report lengths; PUSH and POP save and
// restore all of them together.
struct GlobalState {
  std::uint32_t usage_page = 0;
  std::uint32_t report_size = 0;
  std::uint32_t report_count = 0;
  std::uint8_t report_id = 0;
};

// The local items that name a collection; cleared after every main item.
struct LocalState {
  std::optional<std::uint32_t> usage;  // the first USAGE
  std::optional<std::uint32_t> usage_minimum;
  bool usage_extended = false;  // a 4-byte usage carries its own page
  bool minimum_extended = false;
};

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return std::min(a + std::min(b, kMaxReportBits), kMaxReportBits);
}

bool SameReport(const ReportLength& r, ReportKind kind, std::uint8_t id) {
  return r.kind == kind && r.report_id == id;
}

void AddBits(std::vector<ReportLength>& reports, ReportKind kind, std::uint8_t id,
             std::uint64_t bits, std::uint16_t collection_usage) {
  auto it = std::find_if(reports.begin(), reports.end(),
                         [&](const ReportLength& r) { return SameReport(r, kind, id); });
  if (it == reports.end()) {
    reports.push_back(ReportLength{kind, id, std::min(bits, kMaxReportBits), collection_usage});
  } else {
    it->bits = SaturatingAdd(it->bits, bits);
  }
}

void SortReports(std::vector<ReportLength>& reports) {
  std::sort(reports.begin(), reports.end(), [](const ReportLength& a, const ReportLength& b) {
    if (a.kind != b.kind) return a.kind < b.kind;
    return a.report_id < b.report_id;
  });
}

std::uint32_t Longest(const std::vector<ReportLength>& reports, ReportKind kind) {
  std::uint32_t longest = 0;
  for (const ReportLength& r : reports) {
    if (r.kind == kind) longest = std::max(longest, r.Bytes());
  }
  return longest;
}

class Parser {
 public:
  explicit Parser(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  ReportDescriptor Run() {
    const std::uint8_t* const begin = bytes_.data();
    const std::uint8_t* const end = begin + bytes_.size();
    const std::uint8_t* p = begin;
    while (p != end) {
      Item item;
      const std::uint8_t* next = FetchItem(p, end, item);
      const auto offset = static_cast<std::size_t>(p - begin);
      if (next == nullptr) return Fail(ParseError::kTruncatedItem, offset);
      const ParseError error = Dispatch(item);
      if (error != ParseError::kNone) return Fail(error, offset);
      p = next;
    }
    if (collection_depth_ != 0) return Fail(ParseError::kUnclosedCollection, bytes_.size());
    return Finish();
  }

 private:
  ParseError Dispatch(const Item& item) {
    if (item.is_long) return ParseError::kNone;
    switch (item.type) {
      case Item::Type::kMain:
        return Main(item);
      case Item::Type::kGlobal:
        return Global(item);
      case Item::Type::kLocal:
        Local(item);
        return ParseError::kNone;
      case Item::Type::kReserved:
        return ParseError::kNone;
    }
    return ParseError::kNone;
  }

  ParseError Main(const Item& item) {
    ParseError error = ParseError::kNone;
    switch (item.tag) {
      case main_tag::kInput:
        AddField(ReportKind::kInput);
        break;
      case main_tag::kOutput:
        AddField(ReportKind::kOutput);
        break;
      case main_tag::kFeature:
        AddField(ReportKind::kFeature);
        break;
      case main_tag::kCollection:
        error = OpenCollection();
        break;
      case main_tag::kEndCollection:
        error = CloseCollection();
        break;
      default:
        break;  // reserved main items carry nothing we count
    }
    locals_ = LocalState{};
    return error;
  }

  ParseError Global(const Item& item) {
    switch (item.tag) {
      case global_tag::kUsagePage:
        globals_.usage_page = item.data;
        break;
      case global_tag::kReportSize:
        globals_.report_size = item.data;
        break;
      case global_tag::kReportCount:
        globals_.report_count = item.data;
        break;
      case global_tag::kReportId:
        // ID 0 is reserved for devices without numbered reports, and an ID
        // travels in one byte.
        if (item.data == 0 || item.data > 0xFF) return ParseError::kInvalidReportId;
        globals_.report_id = static_cast<std::uint8_t>(item.data);
        uses_report_ids_ = true;
        break;
      case global_tag::kPush:
        if (global_stack_.size() >= kMaxGlobalStackDepth) {
          return ParseError::kGlobalStackOverflow;
        }
        global_stack_.push_back(globals_);
        break;
      case global_tag::kPop:
        if (global_stack_.empty()) return ParseError::kGlobalStackUnderflow;
        globals_ = global_stack_.back();
        global_stack_.pop_back();
        break;
      default:
        break;  // logical/physical ranges, units: no effect on lengths
    }
    return ParseError::kNone;
  }

  void Local(const Item& item) {
    if (item.tag == local_tag::kUsage && !locals_.usage) {
      locals_.usage = item.data;
      locals_.usage_extended = item.data_size == 4;
    } else if (item.tag == local_tag::kUsageMinimum && !locals_.usage_minimum) {
      locals_.usage_minimum = item.data;
      locals_.minimum_extended = item.data_size == 4;
    }
  }

  void AddField(ReportKind kind) {
    const std::uint64_t bits =
        std::uint64_t{globals_.report_size} * std::uint64_t{globals_.report_count};
    if (bits == 0) return;  // declares no data: no report of its own
    const std::uint16_t usage = current_collection_ ? collections_[*current_collection_].usage : 0;
    AddBits(reports_, kind, globals_.report_id, bits, usage);
    if (current_collection_) {
      TopLevelCollection& tlc = collections_[*current_collection_];
      AddBits(tlc.reports, kind, globals_.report_id, bits, usage);
      if (std::find(tlc.report_ids.begin(), tlc.report_ids.end(), globals_.report_id) ==
          tlc.report_ids.end()) {
        tlc.report_ids.push_back(globals_.report_id);
      }
    }
  }

  ParseError OpenCollection() {
    if (collection_depth_ >= kMaxCollectionDepth) return ParseError::kCollectionTooDeep;
    if (collection_depth_ == 0) {
      // The collection's usage: the first USAGE (or USAGE_MINIMUM) before it;
      // a 4-byte usage names its own page, a shorter one takes the current
      // usage page.
      std::uint32_t usage = 0;
      bool extended = false;
      if (locals_.usage) {
        usage = *locals_.usage;
        extended = locals_.usage_extended;
      } else if (locals_.usage_minimum) {
        usage = *locals_.usage_minimum;
        extended = locals_.minimum_extended;
      }
      TopLevelCollection tlc;
      tlc.usage_page = static_cast<std::uint16_t>(extended ? usage >> 16 : globals_.usage_page);
      tlc.usage = static_cast<std::uint16_t>(usage & 0xFFFF);
      collections_.push_back(std::move(tlc));
      current_collection_ = collections_.size() - 1;
    }
    ++collection_depth_;
    return ParseError::kNone;
  }

  ParseError CloseCollection() {
    if (collection_depth_ == 0) return ParseError::kEndCollectionUnderflow;
    if (--collection_depth_ == 0) current_collection_.reset();
    return ParseError::kNone;
  }

  ReportDescriptor Fail(ParseError error, std::size_t offset) {
    ReportDescriptor result = Finish();
    result.error = error;
    result.error_offset = offset;
    return result;
  }

  ReportDescriptor Finish() {
    ReportDescriptor result;
    result.reports = std::move(reports_);
    SortReports(result.reports);
    result.collections = std::move(collections_);
    for (TopLevelCollection& tlc : result.collections) {
      SortReports(tlc.reports);
      std::sort(tlc.report_ids.begin(), tlc.report_ids.end());
    }
    result.uses_report_ids = uses_report_ids_;
    return result;
  }

  std::span<const std::uint8_t> bytes_;
  GlobalState globals_;
  LocalState locals_;
  std::vector<GlobalState> global_stack_;
  std::size_t collection_depth_ = 0;
  std::optional<std::size_t> current_collection_;
  std::vector<ReportLength> reports_;
  std::vector<TopLevelCollection> collections_;
  bool uses_report_ids_ = false;
};

}  // namespace

const std::uint8_t* FetchItem(const std::uint8_t* p, const std::uint8_t* end, Item& item) {
  if (p == nullptr || end == nullptr || p >= end) return nullptr;
  const std::uint8_t prefix = *p++;
  const auto left = static_cast<std::size_t>(end - p);
  if (prefix == kLongItemPrefix) {
    // Long item: bDataSize, bLongItemTag, then bDataSize bytes of data.
    if (left < 2) return nullptr;
    const std::uint8_t size = p[0];
    if (left - 2 < size) return nullptr;
    item = Item{Item::Type::kReserved, p[1], true, size, 0};
    return p + 2 + size;
  }
  static constexpr std::uint8_t kSizes[4] = {0, 1, 2, 4};
  const std::uint8_t size = kSizes[prefix & 0x3];
  if (left < size) return nullptr;
  std::uint32_t data = 0;
  for (std::uint8_t i = 0; i < size; ++i) data |= std::uint32_t{p[i]} << (8 * i);
  item = Item{static_cast<Item::Type>((prefix >> 2) & 0x3), static_cast<std::uint8_t>(prefix >> 4),
              false, size, data};
  return p + size;
}

std::uint32_t ReportLength::Bytes() const {
  const std::uint64_t bytes = (bits + 7) / 8;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(bytes, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t TopLevelCollection::LongestReportBytes(ReportKind kind) const {
  return Longest(reports, kind);
}

std::optional<std::uint32_t> ReportDescriptor::ReportBytes(ReportKind kind,
                                                           std::uint8_t report_id) const {
  for (const ReportLength& r : reports) {
    if (SameReport(r, kind, report_id)) return r.Bytes();
  }
  return std::nullopt;
}

std::uint32_t ReportDescriptor::LongestReportBytes(ReportKind kind) const {
  return Longest(reports, kind);
}

std::vector<ReportLength> ReportDescriptor::ReportsOfKind(ReportKind kind) const {
  std::vector<ReportLength> result;
  for (const ReportLength& r : reports) {
    if (r.kind == kind) result.push_back(r);
  }
  return result;  // already ascending: reports are sorted by kind, then ID
}

const char* Describe(ParseError error) {
  switch (error) {
    case ParseError::kNone:
      return "no error";
    case ParseError::kTruncatedItem:
      return "truncated item";
    case ParseError::kGlobalStackOverflow:
      return "PUSH beyond the global stack limit";
    case ParseError::kGlobalStackUnderflow:
      return "POP without PUSH";
    case ParseError::kCollectionTooDeep:
      return "collections nested too deep";
    case ParseError::kEndCollectionUnderflow:
      return "END_COLLECTION without COLLECTION";
    case ParseError::kUnclosedCollection:
      return "collection not closed";
    case ParseError::kInvalidReportId:
      return "invalid report ID";
  }
  return "unknown error";
}

ReportDescriptor Parse(std::span<const std::uint8_t> bytes) {
  return Parser(bytes).Run();
}

}  // namespace vyhid::descriptor
