// The change journal of one table: the records its data tree's inserts and replaces carry, decoded as rows of
// the table, in log order.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../catalog/table_info.hpp"
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
  // Row positions whose long-value reference no long value of the database answers (null in the typed view).
  std::vector<std::size_t> missing_long_values;
};

struct TableChanges {
  std::vector<TableChange> changes;  // in log order
  std::uint64_t decoded_diffs = 0, undecoded_diffs = 0;
};

// Reads every record of `logs` once. Fails when a log file can no longer be read.
Result<TableChanges> table_log_changes(const Database& db, const TableInfo& table, const LogSet& logs, bool typed);

}  // namespace pw
