// Recovery of a table's deleted and superseded records: flagged entries, stale tag slots, page slack and
// leaf pages that the tree no longer reaches, each with its place in the file.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../result.hpp"

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
  // How many of the optional checks of record_check.hpp held (each adds one); higher is more certain.
  std::uint32_t confidence = 0;
  // Decoded as a live row is (aligned with TableInfo::row_order); long values resolved where the table's
  // long-value tree still answers the reference.
  Row row;
  // Row positions whose long-value reference no long value answers: the value holds the reference's bytes.
  std::vector<std::size_t> unresolved_long_values;
};

// The recovered records of `table`, page by page in leaf-chain order (then the unreached pages in page-number
// order), within a page by offset. A candidate is reported only when it passes the required checks of
// record_check.hpp and shares no byte with a live entry of its page or with a candidate of a stronger source.
// Fails only when the table's root page or a page on the way down to its leftmost leaf cannot be read.
Result<std::vector<RecoveredRecord>> recover_records(const Database& db, const TableInfo& table,
                                                     RecoverSources sources);

// The typed view of recovered rows (multi-values as lists, typed values), as rows(typed=True) gives live ones.
void make_recovered_typed(const Database& db, const TableInfo& table, std::vector<RecoveredRecord>& records);

}  // namespace pw
