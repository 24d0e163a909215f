#include "table_changes.hpp"

#include <algorithm>

#include "../cursor/long_value.hpp"
#include "../cursor/typed_row.hpp"
#include "../database.hpp"
#include "../record/parser.hpp"

namespace pw {
namespace {

// Decodes standalone records of a table as its cursor decodes live ones.
class ChangeDecoder {
 public:
  ChangeDecoder(const Database& db, const TableInfo& table, bool typed) : db_(db), table_(table), typed_(typed) {}

  void decode(TableChange& out) {
    Row row;
    decode_record(as_bytes(out.change.data), table_, db_.large_page_mode(), row);
    std::vector<std::uint64_t> missing(table_.row_order.size(), 0);
    for (const std::size_t pos : row.long_value_refs) {
      ColumnValue& value = row.values[pos];
      const ColumnInfo& column = table_.row_column(pos);
      const auto ref = parse_long_value_ref(as_bytes(value.bytes));
      const LongValueIndex* index = ref ? long_values() : nullptr;
      if (auto joined = index ? index->gather(*ref, column) : std::nullopt) {
        value = text_or_binary(as_bytes(*joined), column);
        continue;
      }
      ++missing[pos];
      // As the cursor gives them: null in the typed view; in the raw view empty, or the reference itself when
      // the long-value tree cannot be read.
      if (typed_) {
        value = ColumnValue::null();
      } else if (!ref || table_.long_values.empty() || index) {
        value = text_or_binary(Bytes{}, column);
      }
    }
    row.long_value_refs.clear();
    if (typed_) make_row_typed(row, table_, {}, long_values(), counts_, missing);
    for (std::size_t k = 0; k < missing.size(); ++k) {
      if (missing[k]) out.missing_long_values.push_back(k);
    }
    out.row = std::move(row);
  }

 private:
  const LongValueIndex* long_values() {
    if (table_.long_values.empty()) return nullptr;
    if (!index_) index_.emplace(LongValueIndex::build(db_, table_.long_values.at(0).second.father_data_page));
    return index_->ok() ? &index_->value() : nullptr;
  }

  const Database& db_;
  const TableInfo& table_;
  bool typed_;
  std::optional<Result<LongValueIndex>> index_;
  WalkCounts counts_;
};

}  // namespace

Result<TableChanges> table_log_changes(const Database& db, const TableInfo& table, const LogSet& logs, bool typed) {
  TableChanges out;
  ChangeJournal journal(&db, {table.object_id},
                        [&](LogChange&& c) { out.changes.push_back(TableChange{std::move(c), std::nullopt, {}}); });
  LogSetReader reader(logs);
  LogRecord record;
  for (;;) {
    auto more = reader.next(record);
    if (!more) return std::move(more).error();
    if (!*more) break;
    journal.feed(record);
  }
  journal.finish();
  out.decoded_diffs = journal.decoded_diffs();
  out.undecoded_diffs = journal.undecoded_diffs();
  std::sort(out.changes.begin(), out.changes.end(),
            [](const TableChange& a, const TableChange& b) { return a.change.position < b.change.position; });
  ChangeDecoder decoder(db, table, typed);
  for (TableChange& c : out.changes) {
    const bool carries_record = c.change.operation != ChangeOperation::Delete &&
                                c.change.operation != ChangeOperation::FlagDelete && c.change.diff.empty();
    if (carries_record) decoder.decode(c);
  }
  return out;
}

}  // namespace pw
