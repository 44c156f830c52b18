#include "descriptor/ReportDescriptor.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace vyhid::descriptor {
namespace {

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// A range item (logical or physical bound) as it was declared; its sign is
// settled at the main item, once the minimum is known.
struct Bound {
  std::uint32_t data = 0;
  std::uint8_t size = 0;
};

// The maximum is signed exactly when the minimum is negative (as Linux's
// hid-core reads it): 0x25 0xFF after 0x15 0x00 is 255, after 0x15 0x81 is -1.
void ResolveRange(const Bound& min, const Bound& max, std::int64_t& minimum,
                  std::int64_t& maximum) {
  minimum = SignedData(min.data, min.size);
  maximum = minimum < 0 ? SignedData(max.data, max.size) : std::int64_t{max.data};
}

// The global items; PUSH and POP save and restore all of them together.
struct GlobalState {
  std::uint32_t usage_page = 0;
  Bound logical_minimum, logical_maximum, physical_minimum, physical_maximum;
  std::uint32_t unit_exponent = 0;
  std::uint32_t unit = 0;
  std::uint32_t report_size = 0;
  std::uint32_t report_count = 0;
  std::uint8_t report_id = 0;
};

// A usage as a local item declared it: a 4-byte usage names its own page, a
// shorter one takes the usage page in effect at the main item.
struct LocalUsage {
  std::uint32_t data = 0;
  bool extended = false;

  Usage Resolve(std::uint32_t page) const {
    return extended ? data : MakeUsage(static_cast<std::uint16_t>(page), UsageId(data));
  }
};

struct DeclaredRange {
  LocalUsage minimum, maximum;
  bool is_range = false;
};

// The local items; cleared after every main item.
struct LocalState {
  std::vector<DeclaredRange> usages;
  std::optional<LocalUsage> pending_minimum;  // USAGE_MINIMUM awaiting its maximum
  bool in_delimiter = false;  // inside DELIMITER open..close: alternatives of one usage
  bool delimiter_taken = false;

  // A delimiter set names alternative usages of one control; the first is kept.
  bool Accepts() {
    if (!in_delimiter) return true;
    if (delimiter_taken) return false;
    delimiter_taken = true;
    return true;
  }
};

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return std::min(a + std::min(b, kMaxReportBits), kMaxReportBits);
}

bool SameReport(const ReportLength& r, ReportKind kind, std::uint8_t id) {
  return r.kind == kind && r.report_id == id;
}

// Adds a main item's bits (and its field, unless it has no bits) to the report
// (kind, id), creating the report on its first item.
void AddBits(std::vector<Report>& reports, ReportKind kind, std::uint8_t id,
             std::uint16_t collection_usage, std::uint64_t bits, const Field* field) {
  auto it = std::find_if(reports.begin(), reports.end(),
                         [&](const Report& r) { return SameReport(r, kind, id); });
  if (it == reports.end()) {
    reports.push_back(Report{kind, id, 0, collection_usage, {}});
    it = reports.end() - 1;
  }
  if (field != nullptr) {
    it->fields.push_back(*field);
    it->fields.back().bit_offset = it->bits;
  }
  it->bits = SaturatingAdd(it->bits, bits);
}

void SortReports(std::vector<Report>& reports) {
  std::sort(reports.begin(), reports.end(), [](const Report& a, const Report& b) {
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

std::uint64_t RangeSize(const UsageRange& r) {
  return r.maximum >= r.minimum ? std::uint64_t{r.maximum} - r.minimum + 1 : 0;
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
    if (!open_.empty()) return Fail(ParseError::kUnclosedCollection, bytes_.size());
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
        AddField(ReportKind::kInput, item.data);
        break;
      case main_tag::kOutput:
        AddField(ReportKind::kOutput, item.data);
        break;
      case main_tag::kFeature:
        AddField(ReportKind::kFeature, item.data);
        break;
      case main_tag::kCollection:
        error = OpenCollection(item.data);
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
      case global_tag::kLogicalMinimum:
        globals_.logical_minimum = {item.data, item.data_size};
        break;
      case global_tag::kLogicalMaximum:
        globals_.logical_maximum = {item.data, item.data_size};
        break;
      case global_tag::kPhysicalMinimum:
        globals_.physical_minimum = {item.data, item.data_size};
        break;
      case global_tag::kPhysicalMaximum:
        globals_.physical_maximum = {item.data, item.data_size};
        break;
      case global_tag::kUnitExponent:
        globals_.unit_exponent = item.data;
        break;
      case global_tag::kUnit:
        globals_.unit = item.data;
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
        break;  // reserved global items
    }
    return ParseError::kNone;
  }

  void Local(const Item& item) {
    const LocalUsage usage{item.data, item.data_size == 4};
    switch (item.tag) {
      case local_tag::kUsage:
        if (locals_.Accepts()) locals_.usages.push_back({usage, usage, false});
        break;
      case local_tag::kUsageMinimum:
        locals_.pending_minimum = usage;
        break;
      case local_tag::kUsageMaximum:
        // A maximum without its minimum declares nothing.
        if (locals_.pending_minimum && locals_.Accepts()) {
          locals_.usages.push_back({*locals_.pending_minimum, usage, true});
        }
        locals_.pending_minimum.reset();
        break;
      case local_tag::kDelimiter:
        // 1 opens a set of alternative usages, 0 closes it. A nested or
        // unmatched delimiter is taken as it comes rather than refused.
        locals_.in_delimiter = item.data == 1;
        if (locals_.in_delimiter) locals_.delimiter_taken = false;
        break;
      default:
        break;  // designators and strings: not part of the model
    }
  }

  // The usages of the current main item, their pages settled.
  std::vector<UsageRange> ResolveUsages() const {
    std::vector<UsageRange> usages;
    usages.reserve(locals_.usages.size());
    for (const DeclaredRange& d : locals_.usages) {
      const Usage minimum = d.minimum.Resolve(globals_.usage_page);
      // A maximum without its own page shares the minimum's.
      const Usage maximum = d.maximum.extended
                                ? d.maximum.data
                                : MakeUsage(UsagePage(minimum), UsageId(d.maximum.data));
      usages.push_back({minimum, maximum, d.is_range});
    }
    return usages;
  }

  Field MakeField(std::uint32_t flags) const {
    Field field;
    field.bit_size = globals_.report_size;
    field.count = globals_.report_count;
    field.flags = flags;
    field.usages = ResolveUsages();
    ResolveRange(globals_.logical_minimum, globals_.logical_maximum, field.logical_minimum,
                 field.logical_maximum);
    ResolveRange(globals_.physical_minimum, globals_.physical_maximum, field.physical_minimum,
                 field.physical_maximum);
    field.has_physical = field.physical_minimum != 0 || field.physical_maximum != 0;
    field.unit = globals_.unit;
    // The exponent is a 4-bit two's complement number; some devices write a
    // whole signed byte instead.
    const std::uint32_t e = globals_.unit_exponent;
    field.unit_exponent = static_cast<std::int8_t>((e & ~0xFu) != 0 ? SignedData(e, 1)
                                                   : (e & 0x8) != 0 ? std::int64_t{e} - 16
                                                                    : e);
    field.collection = open_.empty() ? Collection::kNone : open_.back();
    return field;
  }

  void AddField(ReportKind kind, std::uint32_t flags) {
    const std::uint64_t bits =
        std::uint64_t{globals_.report_size} * std::uint64_t{globals_.report_count};
    // An item of no bits declares nothing of a device without report IDs; under
    // a report ID it declares that report, which then travels as its ID byte.
    if (bits == 0 && globals_.report_id == 0) return;
    const std::optional<Field> field =
        bits == 0 ? std::nullopt : std::optional<Field>(MakeField(flags));
    const Field* added = field ? &*field : nullptr;
    const std::uint16_t usage = current_collection_ ? collections_[*current_collection_].usage : 0;
    AddBits(reports_, kind, globals_.report_id, usage, bits, added);
    if (current_collection_) {
      TopLevelCollection& tlc = collections_[*current_collection_];
      AddBits(tlc.reports, kind, globals_.report_id, usage, bits, added);
      if (std::find(tlc.report_ids.begin(), tlc.report_ids.end(), globals_.report_id) ==
          tlc.report_ids.end()) {
        tlc.report_ids.push_back(globals_.report_id);
      }
    }
  }

  ParseError OpenCollection(std::uint32_t type) {
    if (open_.size() >= kMaxCollectionDepth) return ParseError::kCollectionTooDeep;
    // The collection's usage: the first USAGE (or USAGE_MINIMUM) before it.
    const std::vector<UsageRange> usages = ResolveUsages();
    Usage usage = usages.empty() ? 0 : usages.front().minimum;
    if (usages.empty() && locals_.pending_minimum) {
      usage = locals_.pending_minimum->Resolve(globals_.usage_page);
    }
    if (open_.empty()) {
      TopLevelCollection tlc;
      // Without any usage the collection still takes the current page.
      tlc.usage_page =
          usage == 0 ? static_cast<std::uint16_t>(globals_.usage_page) : UsagePage(usage);
      tlc.usage = UsageId(usage);
      collections_.push_back(std::move(tlc));
      current_collection_ = collections_.size() - 1;
    }
    const std::uint32_t parent = open_.empty() ? Collection::kNone : open_.back();
    nodes_.push_back(Collection{static_cast<std::uint8_t>(type), usage, parent});
    open_.push_back(static_cast<std::uint32_t>(nodes_.size() - 1));
    return ParseError::kNone;
  }

  ParseError CloseCollection() {
    if (open_.empty()) return ParseError::kEndCollectionUnderflow;
    open_.pop_back();
    if (open_.empty()) current_collection_.reset();
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
    result.collection_nodes = std::move(nodes_);
    result.uses_report_ids = uses_report_ids_;
    return result;
  }

  std::span<const std::uint8_t> bytes_;
  GlobalState globals_;
  LocalState locals_;
  std::vector<GlobalState> global_stack_;
  std::vector<std::uint32_t> open_;  // indices in nodes_ of the open collections
  std::optional<std::size_t> current_collection_;
  std::vector<Report> reports_;
  std::vector<TopLevelCollection> collections_;
  std::vector<Collection> nodes_;
  bool uses_report_ids_ = false;
};

}  // namespace

// An item's data as the class definition stores signed numbers: two's
// complement in the item's own size.
std::int64_t SignedData(std::uint32_t data, std::uint8_t size) {
  switch (size) {
    case 1:
      return static_cast<std::int8_t>(data);
    case 2:
      return static_cast<std::int16_t>(data);
    case 4:
      return static_cast<std::int32_t>(data);
    default:
      return 0;
  }
}

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

std::uint64_t Field::UsageCount() const {
  std::uint64_t n = 0;
  for (const UsageRange& r : usages) n += RangeSize(r);
  return n;
}

Usage Field::UsageAt(std::uint64_t index) const {
  for (const UsageRange& r : usages) {
    const std::uint64_t size = RangeSize(r);
    if (index < size) return static_cast<Usage>(r.minimum + index);
    index -= size;
  }
  return 0;
}

Usage Field::ElementUsage(std::uint64_t element) const {
  const std::uint64_t n = UsageCount();
  return n == 0 ? 0 : UsageAt(std::min(element, n - 1));
}

std::uint32_t Report::Bytes() const {
  const std::uint64_t bytes = (bits + 7) / 8;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(bytes, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t TopLevelCollection::LongestReportBytes(ReportKind kind) const {
  return Longest(reports, kind);
}

std::optional<std::uint32_t> ReportDescriptor::ReportBytes(ReportKind kind,
                                                           std::uint8_t report_id) const {
  const Report* r = FindReport(kind, report_id);
  if (r == nullptr) return std::nullopt;
  return r->Bytes();
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

const Report* ReportDescriptor::FindReport(ReportKind kind, std::uint8_t report_id) const {
  for (const Report& r : reports) {
    if (SameReport(r, kind, report_id)) return &r;
  }
  return nullptr;
}

std::vector<Collection> ReportDescriptor::CollectionPath(const Field& field) const {
  std::vector<Collection> path;
  // Parents always precede their children, so the walk ends; the bound keeps
  // a hand-made model with a cycle from looping.
  for (std::uint32_t i = field.collection;
       i < collection_nodes.size() && path.size() <= collection_nodes.size();
       i = collection_nodes[i].parent) {
    path.push_back(collection_nodes[i]);
  }
  std::reverse(path.begin(), path.end());
  return path;
}

const char* ItemName(const Item& item) {
  if (item.is_long) return "Long Item";
  static constexpr const char* kMain[] = {"Input", "Output", "Collection", "Feature",
                                          "End Collection"};
  static constexpr const char* kGlobal[] = {"Usage Page",
                                            "Logical Minimum",
                                            "Logical Maximum",
                                            "Physical Minimum",
                                            "Physical Maximum",
                                            "Unit Exponent",
                                            "Unit",
                                            "Report Size",
                                            "Report ID",
                                            "Report Count",
                                            "Push",
                                            "Pop"};
  static constexpr const char* kLocal[] = {"Usage",
                                           "Usage Minimum",
                                           "Usage Maximum",
                                           "Designator Index",
                                           "Designator Minimum",
                                           "Designator Maximum",
                                           "Reserved",
                                           "String Index",
                                           "String Minimum",
                                           "String Maximum",
                                           "Delimiter"};
  const std::size_t tag = item.tag;
  switch (item.type) {
    case Item::Type::kMain:
      if (tag >= main_tag::kInput && tag <= main_tag::kEndCollection) {
        return kMain[tag - main_tag::kInput];
      }
      break;
    case Item::Type::kGlobal:
      if (tag < std::size(kGlobal)) return kGlobal[tag];
      break;
    case Item::Type::kLocal:
      if (tag < std::size(kLocal)) return kLocal[tag];
      break;
    case Item::Type::kReserved:
      break;
  }
  return "Reserved";
}

const char* CollectionTypeName(std::uint8_t type) {
  static constexpr const char* kNames[] = {"Physical",    "Application",  "Logical",       "Report",
                                           "Named Array", "Usage Switch", "Usage Modifier"};
  if (type < std::size(kNames)) return kNames[type];
  return type >= 0x80 ? "Vendor-defined" : "Reserved";
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
