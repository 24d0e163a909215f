#include "table_scan.hpp"

#include <algorithm>
#include <optional>

#include "../btree/page_chain.hpp"
#include "../database.hpp"
#include "../record/multi_value.hpp"
#include "../record/record.hpp"
#include "../record/tagged_area.hpp"
#include "long_value.hpp"

namespace pw {
namespace {

// Finds the long-value references of records and checks each against the table's long-value index.
class LongValueCheck {
 public:
  LongValueCheck(const Database& db, const TableInfo& table) : db_(db), table_(table) {
    missing_.assign(table.row_order.size(), 0);
    for (std::size_t k = 0; k < table.row_order.size(); ++k) {
      if (table.row_column(k).id >= 256) tagged_.emplace_back(table.row_column(k).id, k);
    }
    std::sort(tagged_.begin(), tagged_.end());
  }

  bool needed() const noexcept { return !tagged_.empty(); }

  void check(Bytes record, WalkCounts& counts) {
    const RecordHeader h = record_layout::read_record_header(record);
    directory_.reset();
    directory_.build(record, tagged_area_start(record, h), db_.large_page_mode());
    const auto& slots = directory_.slots();
    for (std::size_t s = 0; s < slots.size(); ++s) {
      // Of slots of one id, the decoder reads the last.
      if (s + 1 < slots.size() && slots[s + 1].id == slots[s].id) continue;
      const TaggedSlot& slot = slots[s];
      const auto column = std::lower_bound(tagged_.begin(), tagged_.end(), std::pair{slot.id, std::size_t{0}});
      if (column == tagged_.end() || column->first != slot.id || !slot.has_flag_byte || slot.end <= slot.start)
        continue;
      const Bytes bytes = record.subspan(slot.start, slot.end - slot.start);
      const std::uint8_t flags = bytes[0];
      if (flags & tagged_flag::kLongValueReference) {
        count_if_missing(bytes.subspan(1), column->second, counts);
      } else if (flags & tagged_flag::kMultiValue) {
        for (const MultiValueElement& element : split_multi_value(bytes.subspan(1), flags).elements) {
          if (element.long_value) count_if_missing(element.data, column->second, counts);
        }
      }
    }
  }

  std::vector<std::uint64_t> take_missing() { return std::move(missing_); }

 private:
  void count_if_missing(Bytes reference, std::size_t position, WalkCounts& counts) {
    const auto ref = parse_long_value_ref(reference);
    const LongValueIndex* index = ref ? long_value_index(counts) : nullptr;
    if (index && index->contains(*ref)) return;
    ++missing_[position];
    ++counts.unresolved_long_values;
  }

  const LongValueIndex* long_value_index(WalkCounts& counts) {
    if (table_.long_values.empty()) return nullptr;
    if (!index_) {
      index_.emplace(LongValueIndex::build(db_, table_.long_values.at(0).second.father_data_page));
      if (index_->ok()) counts += index_->value().counts();
    }
    return index_->ok() ? &index_->value() : nullptr;
  }

  const Database& db_;
  const TableInfo& table_;
  std::vector<std::pair<std::uint32_t, std::size_t>> tagged_;  // (column id, row position), by id
  TaggedDirectory directory_;
  std::optional<Result<LongValueIndex>> index_;
  std::vector<std::uint64_t> missing_;
};

}  // namespace

Result<TableScan> scan_table(const Database& db, const std::string& name, ScanLongValues long_values) {
  const TableInfo* table = db.tables().find(name);
  if (!table) return EseError::table_not_found(name);
  TableScan scan;
  auto start = descend_leftmost(db, table->father_data_page, OnBadBranch::Fail, scan.counts);
  if (!start) return std::move(start).error();
  LeafWalk walk(db, std::move(*start), LeafKind::DataLeaf, OnUnreadablePage::Fail);
  std::optional<LongValueCheck> check;
  if (long_values == ScanLongValues::Check) check.emplace(db, *table);
  const bool large = db.large_page_mode();
  NodeEntry node;
  for (;;) {
    auto more = walk.next_node(node);
    if (!more) return std::move(more).error();
    if (!*more) break;
    // As the cursor would: an entry too short for its key size fields is passed over.
    if (node.bytes.size() < ((node.flags & kTagFlagCommonKey) ? 4u : 2u)) {
      ++scan.counts.bad_entries;
      continue;
    }
    ++scan.entries;
    if (node.flags & kTagFlagDeleted) ++scan.deleted;
    if (check && check->needed()) {
      if (auto entry = LeafEntry::try_parse(node.flags, node.bytes, large)) check->check(entry->data, scan.counts);
    }
  }
  scan.counts += walk.counts();
  if (check) scan.missing_long_values = check->take_missing();
  // A file that shrank while open reads as zeros: what the scan made of them is not handed out.
  if (auto status = db.source_status(); !status) return std::move(status).error();
  return scan;
}

}  // namespace pw
