// TableCursor: the rows of one table, in leaf-chain order, with long values resolved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../btree/page_chain.hpp"
#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../result.hpp"
#include "../types/typed_value.hpp"
#include "long_value.hpp"
#include "long_value_budget.hpp"

namespace pw {

class Database;

// Which entries are rows: those whose tag carries the deleted flag are records deleted but not yet cleaned away.
enum class DeletedRows : std::uint8_t { Include, Exclude, Only };

struct CursorOptions {
  bool typed = false;                          // the typed view (see make_typed), multi-values as lists
  DeletedRows deleted = DeletedRows::Include;  // the raw view reads every entry of the leaf level
  std::vector<bool> wanted;                    // by row position; empty: every column
  std::vector<TimestampReading> readings;      // by row position; empty: the automatic reading
};

class TableCursor {
 public:
  TableCursor(const Database& db, const TableInfo& table, TreePosition start, WalkCounts descent_counts,
              CursorOptions options = {});

  // true: `row` holds the next row; false: the table has no more rows; error: the next leaf page could
  // not be read (the cursor stays where it is, so a further call fails the same way).
  Result<bool> next_row(Row& row);

  const TableInfo& table() const noexcept { return *table_; }
  // Entries flagged deleted that DeletedRows::Exclude has passed over so far.
  std::uint64_t deleted_passed_over() const noexcept { return deleted_passed_over_; }
  // The stored record of the row next_row gave last (a view into the mapped file, valid until the next call),
  // for a reader that decodes some columns itself.
  Bytes record() const noexcept { return item_.entry.data; }
  // Whether the entry of the row next_row gave last carries the deleted flag.
  bool row_deleted() const noexcept { return (item_.node.flags & kTagFlagDeleted) != 0; }
  // Decodes the record of the row next_row gave last once more, for the columns `wanted` marks (by row
  // position), as next_row decodes: long values resolved, the typed view if the options ask for it.
  void decode_again(Row& row, const std::vector<bool>& wanted);
  // Decodes a record of this table found elsewhere (in the transaction logs) as next_row decodes the table's
  // own: long values resolved, the typed view if the options ask for it, counted with the rows read.
  void decode_other(Bytes record, Row& row);
  // What the walk has passed over so far: damaged entries, loops, foreign pages, unresolved long values.
  WalkCounts counts() const;
  // Per row position, the long-value references of the rows read so far that no long value answered (the
  // typed view gives null for them, the raw view what the Parts' rows hold: empty bytes, or the reference
  // itself when the tree cannot be read).
  const std::vector<std::uint64_t>& missing_long_values() const noexcept { return missing_long_values_; }
  // Per row position, the values of the rows read so far that the cursor could not give whole: typed
  // multi-values whose element offsets go back (cut there), and long values joined again past the budget of
  // repeated joins (LongValueBudget; null in the typed view, empty in the raw one).
  const std::vector<std::uint64_t>& unreadable_values() const noexcept { return unreadable_values_; }
  // Of those, by reason, the values whose stored form cannot be read (compressed in a scheme not decoded,
  // corrupt, encrypted): the typed view gives null for them, the raw view the stored bytes.
  const std::vector<UnreadableCounts>& unreadable_reasons() const noexcept { return unreadable_reasons_; }

 private:
  void decode(Bytes record, Row& row, const std::vector<bool>* wanted);
  void resolve_long_values(Row& row);
  const LongValueIndex* long_value_index();

  const Database* db_;
  const TableInfo* table_;
  LeafWalk walk_;
  LeafItem item_;
  bool large_;
  WalkCounts own_counts_;                              // the descent's and the long values'
  std::optional<Result<LongValueIndex>> long_values_;  // built at the first reference
  CursorOptions options_;
  std::vector<std::uint64_t> missing_long_values_;
  std::vector<std::uint64_t> unreadable_values_;
  std::vector<UnreadableCounts> unreadable_reasons_;
  LongValueBudget long_value_budget_;
  std::uint64_t deleted_passed_over_ = 0;
};

// A cursor at the first row of the table with raw name `name` (TableNotFound when there is none). The descent
// to the leftmost leaf fails when a branch page on the way cannot be read.
Result<TableCursor> open_table(const Database& db, const std::string& name, CursorOptions options = {});

}  // namespace pw
