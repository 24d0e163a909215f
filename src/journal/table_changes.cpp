#include "table_changes.hpp"

#include "../cursor/typed_row.hpp"
#include "../database.hpp"
#include "../record/parser.hpp"

namespace pw {

TableChangeStream::TableChangeStream(const Database& db, const TableInfo& table, const LogSet& logs, bool typed)
    : db_(db),
      table_(table),
      reader_(logs),
      journal_(&db, {table.object_id}, [this](LogChange&& c) { decided_.emplace(c.sequence, std::move(c)); }),
      typed_(typed) {
  CursorOptions options;
  options.typed = typed;
  if (auto cursor = open_table(db, table.name, std::move(options))) cursor_.emplace(std::move(*cursor));
}

Result<bool> TableChangeStream::next(TableChange& out) {
  LogRecord record;
  for (;;) {
    const auto oldest = journal_.oldest_undecided();
    if (!decided_.empty() && (!oldest || decided_.begin()->first < *oldest)) {
      out = TableChange{std::move(decided_.begin()->second), std::nullopt, {}, {}};
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

void TableChangeStream::decode(TableChange& out) {
  Row row;
  if (!cursor_) {
    decode_record(as_bytes(out.change.data), table_, db_.large_page_mode(), row);
    for (const std::size_t pos : row.long_value_refs) {
      row.values[pos] = typed_ ? ColumnValue::null() : text_or_binary(Bytes{}, table_.row_column(pos));
      out.missing_long_values.push_back(pos);
    }
    row.long_value_refs.clear();
    if (typed_) {
      WalkCounts counts;
      std::vector<std::uint64_t> missing(table_.row_order.size(), 0);
      make_row_typed(row, table_, {}, nullptr, counts, missing);
    }
    out.row = std::move(row);
    return;
  }
  // The cursor counts per column: what this record adds is what the change lacks.
  const std::vector<std::uint64_t> missing = cursor_->missing_long_values();
  const std::vector<std::uint64_t> unreadable = cursor_->unreadable_values();
  cursor_->decode_other(as_bytes(out.change.data), row);
  for (std::size_t k = 0; k < missing.size(); ++k) {
    if (cursor_->missing_long_values()[k] != missing[k]) out.missing_long_values.push_back(k);
    if (cursor_->unreadable_values()[k] != unreadable[k]) out.unreadable_values.push_back(k);
  }
  out.row = std::move(row);
}

}  // namespace pw
