#include "recover.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <string>
#include <unordered_set>

#include "../btree/page_chain.hpp"
#include "../cursor/long_value.hpp"
#include "../cursor/typed_row.hpp"
#include "../database.hpp"
#include "../record/multi_value.hpp"
#include "../record/parser.hpp"
#include "live_records.hpp"
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

bool same_value(const ColumnValue& a, const ColumnValue& b) {
  const bool same_float = std::bit_cast<std::uint64_t>(a.f) == std::bit_cast<std::uint64_t>(b.f);
  return a.tag == b.tag && a.u == b.u && a.i == b.i && same_float && a.guid == b.guid && a.bytes == b.bytes;
}

bool same_values(const Row& a, const Row& b) {
  return std::equal(a.values.begin(), a.values.end(), b.values.begin(), b.values.end(), same_value);
}

// The key of an entry: the first `common` bytes of its page's key prefix, then its own key bytes.
std::string entry_key(Bytes prefix, std::size_t common, Bytes local) {
  std::string key(reinterpret_cast<const char*>(prefix.data()), std::min(common, prefix.size()));
  key.append(reinterpret_cast<const char*>(local.data()), local.size());
  return key;
}

// Where the entry of a record found in slack begins, and its key when the bytes before the record hold one.
struct SlackEntry {
  std::uint32_t start = 0;
  std::optional<std::string> key;
};

}  // namespace

class TableRecovery {
 public:
  TableRecovery(const Database& db, const TableInfo& table, RecoverSources sources, bool typed, TreePosition start,
                std::uint32_t object_id)
      : db_(db),
        table_(table),
        sources_(sources),
        typed_(typed),
        shape_(table),
        large_(db.large_page_mode()),
        object_id_(object_id),
        chain_(std::in_place, db, std::move(start)),
        budget_(db.file_bytes().size()) {}

  bool next_page(std::vector<RecoveredRecord>& out) {
    for (;;) {
      if (chain_) {
        const std::uint32_t pgno = chain_->page_number();
        chain_pages_.insert(pgno);
        if (chain_->page().is_plain_leaf()) leaf_page(chain_->page(), pgno);
        auto moved = chain_->advance(counts_);
        if (!moved || !*moved) chain_.reset();
      } else if (sources_.free && next_free_ != 0 && next_free_ <= db_.total_pages()) {
        const std::uint32_t pgno = next_free_++;
        if (chain_pages_.count(pgno)) continue;
        auto page = db_.read_page(pgno);
        if (page && page->is_plain_leaf() && page->object_id() == object_id_) free_page(*page, pgno);
      } else {
        return false;
      }
      if (!page_records_.empty()) {
        std::sort(page_records_.begin(), page_records_.end(),
                  [](const RecoveredRecord& a, const RecoveredRecord& b) { return a.offset < b.offset; });
        for (RecoveredRecord& r : page_records_) finish(r);
        for (RecoveredRecord& r : page_records_) out.push_back(std::move(r));
        page_records_.clear();
        return true;
      }
    }
  }

 private:
  // Live tags: deleted entries are candidates, the others claim their bytes; then stale slots, then slack.
  void leaf_page(const Page& page, std::uint32_t pgno) {
    PageEntries entries(page, db_.format_version(), db_.format_revision(), db_.page_size());
    begin_page(pgno, entries.key_prefix());
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
  }

  // All slots of a page no tree reaches: the live ones (where readable) and the stale ones past the count.
  void free_page(const Page& page, std::uint32_t pgno) {
    begin_page(pgno, PageEntries(page, db_.format_version(), db_.format_revision(), db_.page_size()).key_prefix());
    const TagRange range = tag_range(page, db_.page_size());
    for (std::uint16_t tag = range.first_entry; tag < range.count; ++tag) {
      if (auto entry = slot_entry(page, tag, range.count))
        entry_candidate(RecoverSource::Free, page, entry->flags, entry->data);
    }
    stale_slots(page, range, true, RecoverSource::Free);
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
    candidate(source, page.data, {start, start + static_cast<std::uint32_t>(bytes.size())}, entry->data,
              entry_key(key_prefix_, entry->common_key_size.value_or(0), entry->key));
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
        const auto end = slack_length(region, cap != to);
        if (!end) continue;
        SlackEntry entry = slack_entry(page.data, p, from);
        if (candidate(RecoverSource::Slack, page.data, {p, p + static_cast<std::uint32_t>(end->length)},
                      region.first(end->length), std::move(entry.key), end->inferred))
          cap = entry.start;
      }
    };
    for (const Range& r : taken) {
      if (r.first > cursor) gap(cursor, std::min(r.first, tag_floor));
      cursor = std::max(cursor, r.second);
      if (cursor >= tag_floor) return;
    }
    if (cursor < tag_floor) gap(cursor, tag_floor);
  }

  // A record's end in slack; a separated last value takes the reference width that the long-value tree
  // answers (4 bytes when neither or both do: then its end is inferred).
  std::optional<SlackEnd> slack_length(Bytes region, bool capped) {
    const auto narrow = shape_.slack_length(region, large_, 4, capped);
    const auto wide = shape_.slack_length(region, large_, 8, capped);
    auto stated = [](SlackEnd end) {
      if (end.reference) end.inferred = kNoColumn;
      return end;
    };
    if (!narrow || !wide || wide->length == narrow->length) {
      if (narrow) return stated(*narrow);
      return wide ? std::optional<SlackEnd>(stated(*wide)) : std::nullopt;
    }
    const auto resolves = [&](const SlackEnd& end) {
      const std::size_t width = &end == &*wide ? 8 : 4;
      const auto ref = parse_long_value_ref(region.subspan(end.length - width, width));
      return long_values() && ref && long_values()->gather(*ref, ColumnInfo{}).has_value();
    };
    const bool narrow_resolves = resolves(*narrow), wide_resolves = resolves(*wide);
    if (narrow_resolves != wide_resolves) return stated(wide_resolves ? *wide : *narrow);
    return narrow;
  }

  // The entry whose record starts at `record`: a u16 local key size k >= 1 (a data tree's keys are never
  // empty; flag bits cleared) followed by k key bytes just before it, and before that a u16 common key size
  // when one fits (1 up to the size of the page's key prefix: a larger word is the last bytes of the record
  // before, which is never cut shorter than the entry that follows it); the record itself, with no key, when
  // no such word is found.
  SlackEntry slack_entry(Bytes page, std::uint32_t record, std::uint32_t floor) const {
    const std::uint16_t mask = large_ ? 0x1FFF : 0x7FFF;
    for (std::size_t k = 1; k <= kMaxSlackKeySize && record >= floor + 2 + k; ++k) {
      const std::size_t at = record - 2 - k;
      if ((read_u16le(page, at).value_or(0) & mask) != k) continue;
      const Bytes local = page.subspan(at + 2, k);
      if (at >= floor + 2) {
        const std::uint16_t common = read_u16le(page, at - 2).value_or(0) & 0x1FFF;
        if (common >= 1 && common <= key_prefix_.size())
          return {static_cast<std::uint32_t>(at - 2), entry_key(key_prefix_, common, local)};
      }
      return {static_cast<std::uint32_t>(at), entry_key(key_prefix_, 0, local)};
    }
    return {record, std::nullopt};
  }

  bool candidate(RecoverSource source, Bytes page, Range bytes, Bytes record, std::optional<std::string> key,
                 std::size_t inferred_end = kNoColumn) {
    if (record.empty() || claims_.overlaps(bytes)) return false;
    const auto checks = shape_.check(record, large_);
    if (!checks) return false;
    claims_.add(bytes);
    RecoveredRecord r;
    r.source = source;
    r.page = pgno_;
    r.offset = offset_in(page, record);
    r.length = static_cast<std::uint32_t>(record.size());
    r.checks = *checks;
    r.inferred_end = inferred_end;
    decode_record(record, table_, large_, r.row);
    r.duplicate_of_live = copy_of_live(record, key, r.row);
    page_records_.push_back(std::move(r));
    return true;
  }

  // The same key live with equal values, or (the key unknown) the same bytes live.
  bool copy_of_live(Bytes record, const std::optional<std::string>& key, const Row& row) {
    if (!live_) live_.emplace(LiveRecords::build(db_, table_));
    if (!key) return live_->has_record(record);
    const auto live = live_->record_of_key(*key);
    if (!live) return false;
    if (std::equal(live->begin(), live->end(), record.begin(), record.end())) return true;
    decode_record(*live, table_, large_, live_row_);
    return same_values(live_row_, row);
  }

  // True when the record holds long-value references and every one resolves (or was resolved before).
  bool resolve_long_values(RecoveredRecord& r) {
    for (const std::size_t pos : r.row.long_value_refs) {
      ColumnValue& value = r.row.values[pos];
      const ColumnInfo& column = table_.row_column(pos);
      const auto ref = parse_long_value_ref(as_bytes(value.bytes));
      std::optional<std::string> joined;
      if (ref && long_values()) joined = long_values()->gather(*ref, column);
      if (joined && !budget_.admit(*ref, joined->size())) {
        r.withheld_long_values.push_back(pos);
        r.long_value_ids.emplace_back(pos, ref->id);
      } else if (joined) {
        value = text_or_binary(as_bytes(*joined), column);
      } else {
        r.unresolved_long_values.push_back(pos);
        if (ref) r.long_value_ids.emplace_back(pos, ref->id);
      }
    }
    const bool all = !r.row.long_value_refs.empty() && r.unresolved_long_values.empty();
    r.row.long_value_refs.clear();
    return all;
  }

  // Long values resolved in the order records are handed out. The typed view: values that are not given
  // (references unresolved or withheld) are null, and so are multi-value elements joining a long value again
  // past the budget (their column is named withheld).
  void finish(RecoveredRecord& r) {
    if (resolve_long_values(r)) r.checks |= kCheckLongValuesResolve;
    if (!typed_) return;
    for (const auto* list : {&r.unresolved_long_values, &r.withheld_long_values}) {
      for (const std::size_t pos : *list) r.row.values[pos] = ColumnValue::null();
    }
    std::vector<bool> cut(r.row.values.size(), false);
    for (std::size_t k = 0; k < r.row.values.size(); ++k) {
      const ColumnValue& value = r.row.values[k];
      if (value.tag == ValueTag::MultiValue)
        cut[k] = split_multi_value(as_bytes(value.bytes), static_cast<std::uint8_t>(value.u)).cut;
    }
    WalkCounts counts;
    missing_.assign(table_.row_order.size(), 0);
    unreadable_.assign(table_.row_order.size(), 0);
    make_row_typed(r.row, table_, {}, long_values(), counts, missing_, &unreadable_, &budget_);
    for (std::size_t k = 0; k < unreadable_.size(); ++k) {
      if (unreadable_[k] > (cut[k] ? 1u : 0u)) r.withheld_long_values.push_back(k);
    }
    std::sort(r.withheld_long_values.begin(), r.withheld_long_values.end());
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

  void begin_page(std::uint32_t pgno, Bytes key_prefix) {
    pgno_ = pgno;
    key_prefix_ = key_prefix;
    claims_.clear();
    page_records_.clear();
  }

  const Database& db_;
  const TableInfo& table_;
  RecoverSources sources_;
  bool typed_;
  RecordShape shape_;
  bool large_;
  std::uint32_t object_id_;
  std::optional<PageChain> chain_;  // the leaf chain still to read; then the pages no tree reaches
  std::unordered_set<std::uint32_t> chain_pages_;
  std::uint32_t next_free_ = 1;
  WalkCounts counts_;
  std::uint32_t pgno_ = 0;
  Bytes key_prefix_;
  Claims claims_;
  std::vector<RecoveredRecord> page_records_;
  std::optional<std::optional<LongValueIndex>> long_values_;  // built at the first reference
  std::optional<LiveRecords> live_;                           // built at the first candidate
  Row live_row_;
  LongValueBudget budget_;  // long values given out again, in all: the cursor's bound
  std::vector<std::uint64_t> missing_, unreadable_;
};

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

std::uint32_t RecoveredRecord::confidence() const noexcept { return static_cast<std::uint32_t>(std::popcount(checks)); }

RecordRecovery::RecordRecovery(std::unique_ptr<TableRecovery> impl) : impl_(std::move(impl)) {}
RecordRecovery::RecordRecovery(RecordRecovery&&) noexcept = default;
RecordRecovery& RecordRecovery::operator=(RecordRecovery&&) noexcept = default;
RecordRecovery::~RecordRecovery() = default;

Result<RecordRecovery> RecordRecovery::open(const Database& db, const TableInfo& table, RecoverSources sources,
                                            bool typed) {
  auto root = db.read_page(table.father_data_page);
  if (!root) return std::move(root).error();
  WalkCounts counts;
  auto start = descend_leftmost(db, table.father_data_page, OnBadBranch::StopHere, counts);
  if (!start) return std::move(start).error();
  return RecordRecovery(
      std::make_unique<TableRecovery>(db, table, sources, typed, std::move(*start), root->object_id()));
}

bool RecordRecovery::next_page(std::vector<RecoveredRecord>& out) { return impl_->next_page(out); }

Result<std::vector<RecoveredRecord>> recover_records(const Database& db, const TableInfo& table,
                                                     RecoverSources sources, bool typed) {
  auto recovery = RecordRecovery::open(db, table, sources, typed);
  if (!recovery) return std::move(recovery).error();
  std::vector<RecoveredRecord> out;
  while (recovery->next_page(out)) {
  }
  return out;
}

}  // namespace pw
