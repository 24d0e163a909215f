// The change journal of one table: the records its data tree's inserts and replaces carry, decoded as rows of
// the table, given in log order as soon as their transactions are decided.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../cursor/table_cursor.hpp"
#include "../log/log_set.hpp"
#include "../record/record.hpp"
#include "../result.hpp"
#include "change_journal.hpp"

namespace pw {

class Database;

struct TableChange {
  LogChange change;
  // The record the change writes, decoded as rows() decodes live ones (long values from the database's
  // long-value tree); nothing for deletes and for differences whose before image was not found.
  std::optional<Row> row;
  // Row positions whose long-value reference no long value of the database answers (null in the typed view),
  // and whose stored form cannot be read (null in the typed view).
  std::vector<std::size_t> missing_long_values, unreadable_values;
};

// Reads the logs once, front to back. Memory: a segment, the changes of transactions still undecided and the
// decided changes behind the oldest of them.
class TableChangeStream {
 public:
  TableChangeStream(const Database& db, const TableInfo& table, const LogSet& logs, bool typed);

  // The next change in log order; false at the end; an error when a log file can no longer be read.
  Result<bool> next(TableChange& out);

 private:
  void decode(TableChange& out);

  const Database& db_;
  const TableInfo& table_;
  LogSetReader reader_;
  std::map<std::uint64_t, LogChange> decided_;  // by sequence
  ChangeJournal journal_;
  bool logs_read_ = false;
  // Decodes the records as the table's own rows are decoded (nothing when the table's tree cannot be entered:
  // the records are then decoded without their long values).
  std::optional<TableCursor> cursor_;
  bool typed_;
};

}  // namespace pw
