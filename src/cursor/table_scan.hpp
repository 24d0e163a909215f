// Counting a table's rows from its leaf entries and their flags, without decoding a value.
#pragma once

#include <cstdint>
#include <string>

#include "../btree/walk_counts.hpp"
#include "../result.hpp"

namespace pw {

class Database;

struct TableScan {
  std::uint64_t entries = 0;  // every leaf entry the table cursor yields
  std::uint64_t deleted = 0;  // of which carry the deleted flag (deleted, not yet cleaned away)
  WalkCounts counts;          // what the walk passed over
};

// Walks the leaf level of the table with raw name `name` as its cursor does. Errors as open_table/next_row.
Result<TableScan> scan_table(const Database& db, const std::string& name);

}  // namespace pw
