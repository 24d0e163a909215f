// Recovery of a table's deleted and superseded records: flagged entries, stale tag slots, page slack and
// leaf pages that the tree no longer reaches, each with its place in the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../result.hpp"
#include "record_check.hpp"

namespace pw {

class Database;

// Where a recovered record was found, strongest first: when two candidates share bytes, the earlier kind wins.
enum class RecoverSource : std::uint8_t {
  Deleted,  // a live tag of the table's leaf level whose entry carries the deleted flag
  Stale,    // a tag slot past the count of a leaf page of the table
  Free,     // an entry (any slot) of a leaf page with the table's object id that no tree reaches
  Slack,    // bytes of a leaf page of the table that no live tag covers
};
inline constexpr std::size_t kRecoverSourceCount = 4;

std::string_view recover_source_name(RecoverSource source) noexcept;
// The source named `name` ("deleted", "stale", "free", "slack"); false when there is none.
bool parse_recover_source(std::string_view name, RecoverSource& out) noexcept;

struct RecoverSources {
  bool deleted = true;
  bool stale = true;
  bool free = true;
  bool slack = true;

  bool has(RecoverSource s) const noexcept;
  void set(RecoverSource s, bool on) noexcept;
  static RecoverSources none() noexcept { return {false, false, false, false}; }
};

struct RecoveredRecord {
  RecoverSource source = RecoverSource::Deleted;
  std::uint32_t page = 0;
  std::uint32_t offset = 0;  // of the record's first byte within the page (the entry's key is not included)
  std::uint32_t length = 0;  // of the record's bytes
  // The optional checks of record_check.hpp that held (RecordCheck bits); the confidence is their number.
  std::uint32_t checks = 0;
  std::uint32_t confidence() const noexcept;
  // Row position of the value whose end was inferred from the bytes that follow it (a record in slack has no
  // tag to state its length), or kNoColumn when the tag or the record itself states every end.
  std::size_t inferred_end = kNoColumn;
  // The same record bytes are live under the same key (or under any key when the record's own key is not
  // known), or the same key is live with equal values: an old copy of a live row, not lost data.
  bool duplicate_of_live = false;
  // Decoded as a live row is (aligned with TableInfo::row_order); long values resolved where the table's
  // long-value tree still answers the reference. Typed when the recovery was opened typed.
  Row row;
  // Row positions whose long-value reference no long value answers: the raw value holds the reference's
  // bytes, the typed value is null.
  std::vector<std::size_t> unresolved_long_values;
  // Row positions whose long value this recovery gave out before and may not give again: slack can hold
  // thousands of records referring to one large value, so values joined again draw on the budget of a table
  // read (LongValueBudget). The raw value holds the reference's bytes, the typed value (or the multi-value's
  // elements past the budget) is null.
  std::vector<std::size_t> withheld_long_values;
  // (row position, long-value id) of every reference above whose value is not given, in row order.
  std::vector<std::pair<std::size_t, std::uint64_t>> long_value_ids;
};

class TableRecovery;

// The recovered records of a table, handed out page by page: memory stays bounded by one page's records
// (and the index of the table's live records and long values), whatever the table holds.
class RecordRecovery {
 public:
  // Fails only when the table's root page or a page on the way down to its leftmost leaf cannot be read.
  static Result<RecordRecovery> open(const Database& db, const TableInfo& table, RecoverSources sources,
                                     bool typed = false);
  RecordRecovery(RecordRecovery&&) noexcept;
  RecordRecovery& operator=(RecordRecovery&&) noexcept;
  ~RecordRecovery();

  // Appends the records of the next page that holds any; false once every page has been read.
  bool next_page(std::vector<RecoveredRecord>& out);

 private:
  explicit RecordRecovery(std::unique_ptr<TableRecovery> impl);
  std::unique_ptr<TableRecovery> impl_;
};

// Every recovered record of `table`, page by page in leaf-chain order (then the unreached pages in page-number
// order), within a page by offset. A candidate is reported only when it passes the required checks of
// record_check.hpp and shares no byte with a live entry of its page or with a candidate of a stronger source.
Result<std::vector<RecoveredRecord>> recover_records(const Database& db, const TableInfo& table,
                                                     RecoverSources sources, bool typed = false);

}  // namespace pw
