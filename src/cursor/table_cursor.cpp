#include "table_cursor.hpp"

#include <algorithm>

#include "../database.hpp"
#include "../record/parser.hpp"
#include "typed_row.hpp"

namespace pw {

TableCursor::TableCursor(const Database& db, const TableInfo& table, TreePosition start, WalkCounts descent_counts,
                         CursorOptions options)
    : db_(&db),
      table_(&table),
      walk_(db, std::move(start), LeafKind::DataLeaf, OnUnreadablePage::Fail),
      large_(db.large_page_mode()),
      own_counts_(descent_counts),
      options_(std::move(options)),
      missing_long_values_(table.row_order.size(), 0),
      unreadable_values_(table.row_order.size(), 0),
      unreadable_reasons_(table.row_order.size(), UnreadableCounts{}),
      long_value_budget_(db.file_bytes().size()) {}

Result<bool> TableCursor::next_row(Row& row) {
  for (;;) {
    auto more = walk_.next(item_);
    if (!more) return std::move(more).error();
    if (!*more) return false;
    const bool deleted = (item_.node.flags & kTagFlagDeleted) != 0;
    if (options_.deleted == DeletedRows::Exclude && deleted) {
      ++deleted_passed_over_;
      continue;
    }
    if (options_.deleted == DeletedRows::Only && !deleted) continue;
    decode(item_.entry.data, row, options_.wanted.empty() ? nullptr : &options_.wanted);
    // A file that shrank while open reads as zeros: such a row is not handed out.
    if (auto status = db_->source_status(); !status) return std::move(status).error();
    return true;
  }
}

void TableCursor::decode(Bytes record, Row& row, const std::vector<bool>* wanted) {
  if (wanted && std::none_of(wanted->begin(), wanted->end(), [](bool w) { return w; })) {
    // Nothing to decode (a reader that takes every column from the record itself): a row of nulls.
    row.values.resize(table_->row_order.size());
    for (ColumnValue& value : row.values) {
      if (!value.is_null()) value = ColumnValue::null();
    }
    row.long_value_refs.clear();
    return;
  }
  decode_record(record, *table_, large_, row, wanted);
  if (!row.long_value_refs.empty()) resolve_long_values(row);
  for (const UnreadableValue& u : row.unreadable) {
    ++unreadable_values_[u.position];
    ++unreadable_reasons_[u.position][static_cast<std::size_t>(u.reason)];
    if (options_.typed) row.values[u.position] = ColumnValue::null();  // no value to give, never the bytes
  }
  if (options_.typed) {
    // The long-value index is built only for a row whose multi-values may need it.
    const bool lists = std::any_of(row.values.begin(), row.values.end(),
                                   [](const ColumnValue& v) { return v.tag == ValueTag::MultiValue; });
    make_row_typed(row, *table_, options_.readings, lists ? long_value_index() : nullptr, own_counts_,
                   missing_long_values_, &unreadable_values_, &long_value_budget_, &unreadable_reasons_);
  }
}

void TableCursor::decode_again(Row& row, const std::vector<bool>& wanted) {
  decode(item_.entry.data, row, &wanted);
}

void TableCursor::decode_other(Bytes record, Row& row) {
  decode(record, row, options_.wanted.empty() ? nullptr : &options_.wanted);
}

const LongValueIndex* TableCursor::long_value_index() {
  if (table_->long_values.empty()) return nullptr;
  if (!long_values_) {
    long_values_.emplace(LongValueIndex::build(*db_, table_->long_values.at(0).second.father_data_page));
    if (long_values_->ok()) own_counts_ += long_values_->value().counts();
  }
  return long_values_->ok() ? &long_values_->value() : nullptr;
}

WalkCounts TableCursor::counts() const {
  WalkCounts total = own_counts_;
  total += walk_.counts();
  return total;
}

void TableCursor::resolve_long_values(Row& row) {
  for (const std::size_t pos : row.long_value_refs) {
    ColumnValue& value = row.values[pos];
    const ColumnInfo& column = table_->row_column(pos);
    std::optional<std::string> joined;
    std::optional<Unreadable> unreadable;
    const auto ref = parse_long_value_ref(as_bytes(value.bytes));
    const LongValueIndex* index = ref && !table_->long_values.empty() ? long_value_index() : nullptr;
    if (index) joined = index->gather(*ref, column, &unreadable);
    if (joined && !long_value_budget_.admit(*ref, joined->size())) {
      ++unreadable_values_[pos];  // joined again past the budget: not given, counted
      value = options_.typed ? ColumnValue::null() : text_or_binary(Bytes{}, column);
      continue;
    }
    if (joined && unreadable) {
      row.unreadable.push_back({pos, *unreadable});
      // The raw view: the joined bytes as stored (ciphertext as binary, never decoded as text).
      value = *unreadable == Unreadable::Encrypted ? ColumnValue::with_bytes(ValueTag::Binary, std::move(*joined))
                                                    : text_or_binary(as_bytes(*joined), column);
      continue;
    }
    if (joined) {
      value = text_or_binary(as_bytes(*joined), column);
      continue;
    }
    ++own_counts_.unresolved_long_values;
    ++missing_long_values_[pos];
    if (options_.typed) {
      value = ColumnValue::null();  // the typed view has no value to give
    } else if (!ref || table_->long_values.empty() || long_values_->ok()) {
      value = text_or_binary(Bytes{}, column);  // the raw view: empty, as it always was
    }  // else the tree cannot be read: the raw view keeps the reference's bytes, as it always did
  }
  row.long_value_refs.clear();
}

Result<TableCursor> open_table(const Database& db, const std::string& name, CursorOptions options) {
  const TableInfo* table = db.tables().find(name);
  if (!table) return EseError::table_not_found(name);
  WalkCounts counts;
  auto start = descend_leftmost(db, table->father_data_page, OnBadBranch::Fail, counts);
  if (!start) return std::move(start).error();
  return TableCursor(db, *table, std::move(*start), counts, std::move(options));
}

}  // namespace pw
