#include "recover.hpp"

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "../btree/page_chain.hpp"
#include "../cursor/long_value.hpp"
#include "../cursor/typed_row.hpp"
#include "../database.hpp"
#include "../record/parser.hpp"
#include "record_check.hpp"

namespace pw {
namespace {

constexpr std::string_view kSourceNames[kRecoverSourceCount] = {"deleted", "stale", "free", "slack"};
// Slack scanning of one page examines at most this many bytes per byte of the page.
constexpr std::uint64_t kSlackWorkPerPageByte = 16;
// Keys of data-tree entries found in slack: a u16 local key size of at most this many bytes before the record.
constexpr std::size_t kMaxSlackKeySize = 255;

using Range = std::pair<std::uint32_t, std::uint32_t>;  // [start, end) within a page

// Byte ranges of one page taken by live entries and by accepted candidates: ascending, disjoint.
class Claims {
 public:
  void clear() { ranges_.clear(); }
  bool overlaps(Range r) const {
    auto it = std::lower_bound(ranges_.begin(), ranges_.end(), Range{r.first, 0});
    if (it != ranges_.end() && it->first < r.second) return true;
    return it != ranges_.begin() && std::prev(it)->second > r.first;
  }
  // Adds a range that overlaps none of the claimed ones.
  void add(Range r) { ranges_.insert(std::lower_bound(ranges_.begin(), ranges_.end(), r), r); }
  const std::vector<Range>& ranges() const noexcept { return ranges_; }

 private:
  std::vector<Range> ranges_;
};

std::uint32_t offset_in(Bytes page, Bytes part) { return static_cast<std::uint32_t>(part.data() - page.data()); }

class TableRecovery {
 public:
  TableRecovery(const Database& db, const TableInfo& table, RecoverSources sources)
      : db_(db), table_(table), sources_(sources), shape_(table), large_(db.large_page_mode()) {}

  Result<std::vector<RecoveredRecord>> run() {
    auto root = db_.read_page(table_.father_data_page);
    if (!root) return std::move(root).error();
    WalkCounts counts;
    auto start = descend_leftmost(db_, table_.father_data_page, OnBadBranch::StopHere, counts);
    if (!start) return std::move(start).error();
    PageChain chain(db_, std::move(*start));
    std::unordered_set<std::uint32_t> chain_pages;
    for (;;) {
      chain_pages.insert(chain.page_number());
      if (chain.page().is_plain_leaf()) leaf_page(chain.page(), chain.page_number());
      auto moved = chain.advance(counts);
      if (!moved || !*moved) break;
    }
    if (sources_.free) {
      const std::uint32_t object_id = root->object_id();
      for (std::uint32_t pgno = 1; pgno <= db_.total_pages(); ++pgno) {
        if (chain_pages.count(pgno)) continue;
        auto page = db_.read_page(pgno);
        if (page && page->is_plain_leaf() && page->object_id() == object_id) free_page(*page, pgno);
      }
    }
    return std::move(out_);
  }

 private:
  // Live tags: deleted entries are candidates, the others claim their bytes; then stale slots, then slack.
  void leaf_page(const Page& page, std::uint32_t pgno) {
    begin_page(pgno);
    PageEntries entries(page, db_.format_version(), db_.format_revision(), db_.page_size());
    std::vector<Range> live;  // every live tag's bytes, deleted or not: none of them is slack
    std::vector<NodeEntry> deleted;
    NodeEntry node;
    WalkCounts ignored;
    while (entries.next(node, ignored)) {
      const Range r{offset_in(page.data, node.bytes), offset_in(page.data, node.bytes) + node.bytes.size()};
      live.push_back(r);
      if (node.flags & kTagFlagDeleted) {
        deleted.push_back(node);
      } else {
        claims_.add(r);
      }
    }
    if (sources_.deleted) {
      for (const NodeEntry& d : deleted) entry_candidate(RecoverSource::Deleted, page, d.flags, d.bytes);
    }
    const std::uint32_t tag_floor = stale_slots(page, entries.range(), sources_.stale);
    if (sources_.slack) slack(page, live, tag_floor);
    end_page();
  }

  // All slots of a page no tree reaches: the live ones (where readable) and the stale ones past the count.
  void free_page(const Page& page, std::uint32_t pgno) {
    begin_page(pgno);
    const TagRange range = tag_range(page, db_.page_size());
    for (std::uint16_t tag = range.first_entry; tag < range.count; ++tag) {
      if (auto entry = slot_entry(page, tag, range.count))
        entry_candidate(RecoverSource::Free, page, entry->flags, entry->data);
    }
    stale_slots(page, range, true, RecoverSource::Free);
    end_page();
  }

  // The entry of slot `tag` when it lies in the data area, between the header and the lowest tag slot.
  std::optional<TagRef> slot_entry(const Page& page, std::uint16_t tag, std::uint16_t count) const {
    const std::uint64_t tag_array = 4ull * std::max<std::uint64_t>(count, tag + 1ull);
    if (tag_array + page.header_size > page.data.size()) return std::nullopt;
    const auto slot = read_tag_slot(page.data, tag, large_);
    if (!slot || slot->size == 0) return std::nullopt;
    const std::uint64_t start = static_cast<std::uint64_t>(page.header_size) + slot->offset;
    if (start + slot->size > page.data.size() - tag_array) return std::nullopt;
    TagRef ref;
    ref.data = page.data.subspan(start, slot->size);
    ref.flags = large_ ? (ref.data.size() >= 2 ? static_cast<std::uint8_t>(ref.data[1] >> 5) : 0) : slot->flags_word;
    return ref;
  }

  // Slots from the count on, up to the first whose bytes cannot be an entry; returns where the tag array
  // (with the stale slots read) begins.
  std::uint32_t stale_slots(const Page& page, TagRange range, bool take, RecoverSource source = RecoverSource::Stale) {
    std::uint32_t tag = range.count;
    for (; tag < 0xFFFF; ++tag) {
      const auto entry = slot_entry(page, static_cast<std::uint16_t>(tag), range.count);
      if (!entry) break;
      if (take) entry_candidate(source, page, entry->flags, entry->data);
    }
    const std::uint64_t tag_array = 4ull * std::max<std::uint32_t>(tag, range.count);
    return static_cast<std::uint32_t>(page.data.size() > tag_array ? page.data.size() - tag_array : 0);
  }

  void entry_candidate(RecoverSource source, const Page& page, std::uint8_t flags, Bytes bytes) {
    auto entry = LeafEntry::parse(flags, bytes, large_);
    if (!entry) return;
    const std::uint32_t start = offset_in(page.data, bytes);
    candidate(source, page.data, {start, start + static_cast<std::uint32_t>(bytes.size())}, entry->data);
  }

  // The bytes that no live tag covers, outside the header and the tag array, scanned for record headers. A gap
  // is read from its end backwards: a record found caps the one before it at its entry's first byte.
  void slack(const Page& page, const std::vector<Range>& live, std::uint32_t tag_floor) {
    std::vector<Range> taken = live;
    taken.insert(taken.end(), claims_.ranges().begin(), claims_.ranges().end());
    std::sort(taken.begin(), taken.end());
    std::uint64_t budget = kSlackWorkPerPageByte * page.data.size();
    std::uint32_t cursor = page.header_size;
    auto gap = [&](std::uint32_t from, std::uint32_t to) {
      if (to <= from) return;
      std::vector<std::uint32_t> starts;
      for (std::uint32_t p = from; p + 4 <= to; ++p) {
        if (shape_.plausible_header(page.data.subspan(p, 4))) starts.push_back(p);
      }
      std::uint32_t cap = to;
      for (auto it = starts.rbegin(); it != starts.rend() && budget > 0; ++it) {
        const std::uint32_t p = *it;
        if (p + 4 > cap) continue;
        const Bytes region = page.data.subspan(p, cap - p);
        budget -= std::min<std::uint64_t>(budget, region.size() + 4);
        const auto length = slack_length(region);
        if (!length) continue;
        if (candidate(RecoverSource::Slack, page.data, {p, p + static_cast<std::uint32_t>(*length)},
                      region.first(*length)))
          cap = entry_start(page.data, p, from);
      }
    };
    for (const Range& r : taken) {
      if (r.first > cursor) gap(cursor, std::min(r.first, tag_floor));
      cursor = std::max(cursor, r.second);
      if (cursor >= tag_floor) return;
    }
    if (cursor < tag_floor) gap(cursor, tag_floor);
  }

  // A record's length in slack; a separated last value takes the reference width that the long-value tree
  // answers (4 bytes when neither or both do).
  std::optional<std::size_t> slack_length(Bytes region) {
    const auto narrow = shape_.slack_length(region, large_, 4);
    const auto wide = shape_.slack_length(region, large_, 8);
    if (!wide || wide == narrow || !long_values()) return narrow ? narrow : wide;
    const auto resolves = [&](std::size_t length) {
      const std::size_t width = length == *wide ? 8 : 4;
      const auto ref = parse_long_value_ref(region.subspan(length - width, width));
      return ref && long_values()->gather(*ref, ColumnInfo{}).has_value();
    };
    if (!narrow) return wide;
    return !resolves(*narrow) && resolves(*wide) ? wide : narrow;
  }

  // The first byte of the entry whose record starts at `record`: a u16 local key size k >= 1 (a data tree's
  // keys are never empty; flag bits cleared) followed by k key bytes just before it, and before that a u16 common key
  // size when one fits (1..255); `record` itself when no such word is found.
  std::uint32_t entry_start(Bytes page, std::uint32_t record, std::uint32_t floor) const {
    const std::uint16_t mask = large_ ? 0x1FFF : 0x7FFF;
    for (std::size_t k = 1; k <= kMaxSlackKeySize && record >= floor + 2 + k; ++k) {
      const std::size_t at = record - 2 - k;
      if ((read_u16le(page, at).value_or(0) & mask) != k) continue;
      if (at >= floor + 2) {
        const std::uint16_t common = read_u16le(page, at - 2).value_or(0) & 0x1FFF;
        if (common >= 1 && common <= kMaxSlackKeySize) return static_cast<std::uint32_t>(at - 2);
      }
      return static_cast<std::uint32_t>(at);
    }
    return record;
  }

  bool candidate(RecoverSource source, Bytes page, Range bytes, Bytes record) {
    if (record.empty() || claims_.overlaps(bytes)) return false;
    const auto confidence = shape_.check(record, large_);
    if (!confidence) return false;
    claims_.add(bytes);
    RecoveredRecord r;
    r.source = source;
    r.page = pgno_;
    r.offset = offset_in(page, record);
    r.length = static_cast<std::uint32_t>(record.size());
    r.confidence = *confidence;
    decode_record(record, table_, large_, r.row);
    if (resolve_long_values(r)) ++r.confidence;
    page_records_.push_back(std::move(r));
    return true;
  }

  // True when the record holds long-value references and every one resolves.
  bool resolve_long_values(RecoveredRecord& r) {
    for (const std::size_t pos : r.row.long_value_refs) {
      ColumnValue& value = r.row.values[pos];
      const ColumnInfo& column = table_.row_column(pos);
      const auto ref = parse_long_value_ref(as_bytes(value.bytes));
      std::optional<std::string> joined;
      if (ref && long_values()) joined = long_values()->gather(*ref, column);
      if (joined) {
        value = text_or_binary(as_bytes(*joined), column);
      } else {
        r.unresolved_long_values.push_back(pos);
      }
    }
    const bool all = !r.row.long_value_refs.empty() && r.unresolved_long_values.empty();
    r.row.long_value_refs.clear();
    return all;
  }

  const LongValueIndex* long_values() {
    if (!long_values_) {
      long_values_.emplace(std::nullopt);
      if (!table_.long_values.empty()) {
        auto index = LongValueIndex::build(db_, table_.long_values.at(0).second.father_data_page);
        if (index) long_values_->emplace(std::move(*index));
      }
    }
    return *long_values_ ? &**long_values_ : nullptr;
  }

  void begin_page(std::uint32_t pgno) {
    pgno_ = pgno;
    claims_.clear();
    page_records_.clear();
  }

  void end_page() {
    std::sort(page_records_.begin(), page_records_.end(),
              [](const RecoveredRecord& a, const RecoveredRecord& b) { return a.offset < b.offset; });
    for (RecoveredRecord& r : page_records_) out_.push_back(std::move(r));
  }

  const Database& db_;
  const TableInfo& table_;
  RecoverSources sources_;
  RecordShape shape_;
  bool large_;
  std::uint32_t pgno_ = 0;
  Claims claims_;
  std::vector<RecoveredRecord> page_records_;
  std::vector<RecoveredRecord> out_;
  std::optional<std::optional<LongValueIndex>> long_values_;  // built at the first reference
};

}  // namespace

std::string_view recover_source_name(RecoverSource source) noexcept {
  return kSourceNames[static_cast<std::size_t>(source)];
}

bool parse_recover_source(std::string_view name, RecoverSource& out) noexcept {
  for (std::size_t k = 0; k < kRecoverSourceCount; ++k) {
    if (kSourceNames[k] == name) {
      out = static_cast<RecoverSource>(k);
      return true;
    }
  }
  return false;
}

bool RecoverSources::has(RecoverSource s) const noexcept {
  switch (s) {
    case RecoverSource::Deleted:
      return deleted;
    case RecoverSource::Stale:
      return stale;
    case RecoverSource::Free:
      return free;
    case RecoverSource::Slack:
      return slack;
  }
  return false;
}

void RecoverSources::set(RecoverSource s, bool on) noexcept {
  switch (s) {
    case RecoverSource::Deleted:
      deleted = on;
      break;
    case RecoverSource::Stale:
      stale = on;
      break;
    case RecoverSource::Free:
      free = on;
      break;
    case RecoverSource::Slack:
      slack = on;
      break;
  }
}

Result<std::vector<RecoveredRecord>> recover_records(const Database& db, const TableInfo& table,
                                                     RecoverSources sources) {
  return TableRecovery(db, table, sources).run();
}

void make_recovered_typed(const Database& db, const TableInfo& table, std::vector<RecoveredRecord>& records) {
  std::optional<Result<LongValueIndex>> index;
  if (!table.long_values.empty())
    index.emplace(LongValueIndex::build(db, table.long_values.at(0).second.father_data_page));
  const LongValueIndex* long_values = index && index->ok() ? &index->value() : nullptr;
  WalkCounts counts;
  std::vector<std::uint64_t> missing(table.row_order.size(), 0);
  for (RecoveredRecord& record : records) make_row_typed(record.row, table, {}, long_values, counts, missing);
}

}  // namespace pw
