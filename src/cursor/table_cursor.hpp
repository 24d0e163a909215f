// TableCursor: the rows of one table, in leaf-chain order, with long values resolved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "../btree/page_chain.hpp"
#include "../catalog/table_info.hpp"
#include "../result.hpp"
#include "long_value.hpp"
#include "../record/record.hpp"

namespace pw {

class Database;

class TableCursor {
 public:
  TableCursor(const Database& db, const TableInfo& table, TreePosition start, WalkCounts descent_counts);

  // true: `row` holds the next row; false: the table has no more rows; error: the next leaf page could
  // not be read (the cursor stays where it is, so a further call fails the same way).
  Result<bool> next_row(Row& row);

  const TableInfo& table() const noexcept { return *table_; }
  // What the walk has passed over so far: damaged entries, loops, foreign pages, unresolved long values.
  WalkCounts counts() const;

 private:
  void resolve_long_values(Row& row);

  const Database* db_;
  const TableInfo* table_;
  LeafWalk walk_;
  LeafItem item_;
  bool large_;
  WalkCounts own_counts_;                              // the descent's and the long values'
  std::optional<Result<LongValueIndex>> long_values_;  // built at the first reference
};

// A cursor at the first row of the table with raw name `name` (TableNotFound when there is none). The descent
// to the leftmost leaf fails when a branch page on the way cannot be read.
Result<TableCursor> open_table(const Database& db, const std::string& name);

}  // namespace pw
