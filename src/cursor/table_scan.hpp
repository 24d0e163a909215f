// Counting a table's rows from its leaf entries and their flags, without decoding a value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../btree/walk_counts.hpp"
#include "../result.hpp"

namespace pw {

class Database;

struct TableScan {
  std::uint64_t entries = 0;  // every leaf entry the table cursor yields
  std::uint64_t deleted = 0;  // of which carry the deleted flag (deleted, not yet cleaned away)
  WalkCounts counts;          // what the walk passed over
  // By row position: long-value references (also multi-value elements stored apart) that no long value
  // answers, in every entry; empty when the scan did not look.
  std::vector<std::uint64_t> missing_long_values;
};

enum class ScanLongValues : std::uint8_t { Skip, Check };

// Walks the leaf level of the table with raw name `name` as its cursor does. With Check, the long-value
// references of each record are found from its tagged directory and flag bytes alone and looked up in the
// table's long-value index (built once, at the first reference), as the cursor resolves them. Errors as
// open_table/next_row.
Result<TableScan> scan_table(const Database& db, const std::string& name,
                             ScanLongValues long_values = ScanLongValues::Skip);

}  // namespace pw
