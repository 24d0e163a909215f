#include "table_changes.hpp"

#include "../cursor/typed_row.hpp"
#include "../database.hpp"

namespace pw {

TableChangeStream::TableChangeStream(const Database& db, const TableInfo& table, const LogSet& logs, bool typed)
    : db_(db),
      table_(table),
      typed_(typed),
      reader_(logs),
      journal_(&db, {table.object_id}, [this](LogChange&& c) { decided_.emplace(c.sequence, std::move(c)); }) {}

Result<bool> TableChangeStream::next(TableChange& out) {
  LogRecord record;
  for (;;) {
    const auto oldest = journal_.oldest_undecided();
    if (!decided_.empty() && (!oldest || decided_.begin()->first < *oldest)) {
      out = TableChange{std::move(decided_.begin()->second), std::nullopt, {}};
      decided_.erase(decided_.begin());
      const LogChange& c = out.change;
      if (c.operation != ChangeOperation::Delete && c.operation != ChangeOperation::FlagDelete && c.diff.empty())
        decode(out);
      return true;
    }
    if (logs_read_) return false;
    auto more = reader_.next(record);
    if (!more) return std::move(more).error();
    if (*more) {
      journal_.feed(record);
    } else {
      journal_.finish();  // what is still undecided is open at the end of the logs
      logs_read_ = true;
    }
  }
}

const LongValueIndex* TableChangeStream::long_values() {
  if (table_.long_values.empty()) return nullptr;
  if (!index_) index_.emplace(LongValueIndex::build(db_, table_.long_values.at(0).second.father_data_page));
  return index_->ok() ? &index_->value() : nullptr;
}

// As the table's cursor decodes a live record.
void TableChangeStream::decode(TableChange& out) {
  Row row;
  decode_record(as_bytes(out.change.data), table_, db_.large_page_mode(), row);
  std::vector<std::uint64_t> missing(table_.row_order.size(), 0);
  const LongValueIndex* index = long_values();
  const bool unreadable = !table_.long_values.empty() && !index;
  for (const std::size_t pos : row.long_value_refs) {
    if (!resolve_long_value(row.values[pos], table_.row_column(pos), index, unreadable, typed_)) ++missing[pos];
  }
  row.long_value_refs.clear();
  if (typed_) make_row_typed(row, table_, {}, long_values(), counts_, missing);
  for (std::size_t k = 0; k < missing.size(); ++k) {
    if (missing[k]) out.missing_long_values.push_back(k);
  }
  out.row = std::move(row);
}

}  // namespace pw
