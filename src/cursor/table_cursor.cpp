#include "table_cursor.hpp"

#include "../database.hpp"
#include "../record/parser.hpp"

namespace pw {

TableCursor::TableCursor(const Database& db, const TableInfo& table, TreePosition start, WalkCounts descent_counts)
    : db_(&db),
      table_(&table),
      walk_(db, std::move(start), LeafKind::DataLeaf, OnUnreadablePage::Fail),
      large_(db.large_page_mode()),
      own_counts_(descent_counts) {}

Result<bool> TableCursor::next_row(Row& row) {
  auto more = walk_.next(item_);
  if (!more) return std::move(more).error();
  if (!*more) return false;
  decode_record(item_.entry.data, *table_, large_, row);
  if (!row.long_value_refs.empty()) resolve_long_values(row);
  return true;
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
    std::string bytes;
    const auto ref = parse_long_value_ref(as_bytes(value.bytes));
    if (ref && !table_->long_values.empty()) {
      if (!long_values_) {
        long_values_.emplace(LongValueIndex::build(*db_, table_->long_values.at(0).second.father_data_page));
        if (long_values_->ok()) own_counts_ += long_values_->value().counts();
      }
      if (!long_values_->ok()) continue;  // the tree cannot be read: the reference stays as it is
      if (auto joined = long_values_->value().gather(*ref, column)) {
        bytes = std::move(*joined);
      } else {
        ++own_counts_.unresolved_long_values;
      }
    } else {
      ++own_counts_.unresolved_long_values;
    }
    value = text_or_binary(as_bytes(bytes), column);
  }
  row.long_value_refs.clear();
}

Result<TableCursor> open_table(const Database& db, const std::string& name) {
  const TableInfo* table = db.tables().find(name);
  if (!table) return EseError::table_not_found(name);
  WalkCounts counts;
  auto start = descend_leftmost(db, table->father_data_page, OnBadBranch::Fail, counts);
  if (!start) return std::move(start).error();
  return TableCursor(db, *table, std::move(*start), counts);
}

}  // namespace pw
