#include "table_cursor.hpp"

#include "../database.hpp"
#include "../record/multi_value.hpp"
#include "../record/parser.hpp"

namespace pw {

TableCursor::TableCursor(const Database& db, const TableInfo& table, TreePosition start, WalkCounts descent_counts,
                         CursorOptions options)
    : db_(&db),
      table_(&table),
      walk_(db, std::move(start), LeafKind::DataLeaf, OnUnreadablePage::Fail),
      large_(db.large_page_mode()),
      own_counts_(descent_counts),
      options_(std::move(options)) {}

Result<bool> TableCursor::next_row(Row& row) {
  for (;;) {
    auto more = walk_.next(item_);
    if (!more) return std::move(more).error();
    if (!*more) return false;
    const bool deleted = (item_.node.flags & kTagFlagDeleted) != 0;
    if ((options_.deleted == DeletedRows::Exclude && deleted) || (options_.deleted == DeletedRows::Only && !deleted))
      continue;
    decode_record(item_.entry.data, *table_, large_, row, options_.wanted.empty() ? nullptr : &options_.wanted);
    if (!row.long_value_refs.empty()) resolve_long_values(row);
    if (options_.typed) make_row_typed(row);
    // A file that shrank while open reads as zeros: such a row is not handed out.
    if (auto status = db_->source_status(); !status) return std::move(status).error();
    return true;
  }
}

const LongValueIndex* TableCursor::long_value_index() {
  if (table_->long_values.empty()) return nullptr;
  if (!long_values_) {
    long_values_.emplace(LongValueIndex::build(*db_, table_->long_values.at(0).second.father_data_page));
    if (long_values_->ok()) own_counts_ += long_values_->value().counts();
  }
  return long_values_->ok() ? &long_values_->value() : nullptr;
}

ColumnValue TableCursor::multi_value_list(const ColumnValue& raw, const ColumnInfo& column) {
  const auto flags = static_cast<std::uint8_t>(raw.u);
  std::vector<ColumnValue> items;
  for (const MultiValueElement& element : split_multi_value(as_bytes(raw.bytes), flags)) {
    if (element.long_value) {
      std::string bytes;
      const auto ref = parse_long_value_ref(element.data);
      const LongValueIndex* index = ref ? long_value_index() : nullptr;
      if (auto joined = index ? index->gather(*ref, column) : std::nullopt) {
        bytes = std::move(*joined);
      } else {
        ++own_counts_.unresolved_long_values;
      }
      items.push_back(text_or_binary(as_bytes(bytes), column));
    } else if (items.empty() && (flags & tagged_flag::kCompressed)) {
      items.push_back(decompress_tagged(element.data, column));  // only the first element is compressed
    } else {
      auto value = RecordParser::parse_column_value(element.data, column);
      items.push_back(value ? std::move(value.value()) : ColumnValue::null());
    }
  }
  return ColumnValue::list(std::move(items));
}

void TableCursor::make_row_typed(Row& row) {
  for (std::size_t k = 0; k < row.values.size(); ++k) {
    ColumnValue& value = row.values[k];
    if (value.is_null()) continue;
    const ColumnInfo& column = table_->row_column(k);
    if (value.tag == ValueTag::MultiValue) value = multi_value_list(value, column);
    make_typed(value, column, options_.readings.empty() ? TimestampReading::Auto : options_.readings[k]);
  }
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
      const LongValueIndex* index = long_value_index();
      if (!index) continue;  // the tree cannot be read: the reference stays as it is
      if (auto joined = index->gather(*ref, column)) {
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

Result<TableCursor> open_table(const Database& db, const std::string& name, CursorOptions options) {
  const TableInfo* table = db.tables().find(name);
  if (!table) return EseError::table_not_found(name);
  WalkCounts counts;
  auto start = descend_leftmost(db, table->father_data_page, OnBadBranch::Fail, counts);
  if (!start) return std::move(start).error();
  return TableCursor(db, *table, std::move(*start), counts, std::move(options));
}

}  // namespace pw
