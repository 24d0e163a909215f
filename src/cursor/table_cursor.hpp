// TableCursor: the rows of one table, in leaf-chain order, with long values resolved.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>

#include "../catalog/table_info.hpp"
#include "../page/page.hpp"
#include "../result.hpp"
#include "long_value.hpp"
#include "record.hpp"

namespace pw {

class Database;

class TableCursor {
 public:
  TableCursor(const Database& db, const TableInfo& table, Page start_page, std::uint32_t start_page_number);

  // true: `row` holds the next row; false: the table has no more rows; error: the next leaf page could
  // not be read (the cursor stays where it is, so a further call fails the same way).
  Result<bool> next_row(Row& row);

  const TableInfo& table() const noexcept { return *table_; }

 private:
  void resolve_long_values(Row& row);

  const Database* db_;
  const TableInfo* table_;
  Page page_;
  std::uint16_t tag_index_ = 1;
  bool large_;
  // Pages already entered: a next_page chain that comes back to one of them ends the table.
  std::unordered_set<std::uint32_t> visited_;
  std::optional<Result<LongValueIndex>> long_values_;  // built at the first reference
};

}  // namespace pw
