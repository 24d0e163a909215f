// Export of one table to a JSON Lines or CSV file: opens the table, creates the output file safely, writes one
// line per row (CSV: after a header line), and counts what it wrote and what the walk passed over. Runs
// without Python, so the binding can let other threads run meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../btree/walk_counts.hpp"
#include "../cursor/table_cursor.hpp"
#include "../error.hpp"

namespace pw {
class Database;
}

namespace pw::json {

// Why an export stopped early.
struct ExportFailure {
  enum class Stage { OpenTable, CreateFile, ReadRecord, Write, Stopped };
  Stage stage = Stage::Stopped;
  std::optional<EseError> table_error;  // Stage::OpenTable: why the table could not be opened
  std::string message;                  // display text of the failure (empty for Stage::Stopped)
  int os_errno = 0;                     // CreateFile, Write: the errno behind the message
};

// What an export wrote and passed over.
struct ExportCounts {
  std::uint64_t live = 0;                 // rows written of entries without the deleted flag
  std::uint64_t deleted = 0;              // rows written of entries flagged deleted
  std::uint64_t deleted_passed_over = 0;  // entries flagged deleted that DeletedRows::Exclude left out
  WalkCounts walk;                        // what the walk of the table's trees passed over
  std::vector<std::uint64_t> missing_long_values;  // by row position: references no long value answers
  std::vector<std::uint64_t> unreadable_values;    // by row position: values without a form of their type
};

struct ExportResult {
  std::uint64_t rows = 0;  // lines written, also those written before a failure (they stay in the file)
  ExportCounts counts;
  std::string partial_path;  // where an export written under a temporary name left its incomplete file
  std::optional<ExportFailure> failure;
};

enum class ExportFormat : std::uint8_t { JsonLines, Csv };

// The defaults are the raw export of export_table: every entry, members named by column names, the file
// written in place. The other exports name values by the distinct column keys (`keyed`), mark deleted rows
// when they include any, choose the rows with `deleted`, and write under a temporary name (`replace`).
struct ExportOptions {
  bool typed = false;  // the typed view: signed Currency, ISO 8601 instants, multi-values as arrays
  ExportFormat format = ExportFormat::JsonLines;
  DeletedRows deleted = DeletedRows::Include;
  bool keyed = false;
  bool replace = false;
  bool escape_formulas = true;             // CSV: a text cell that a spreadsheet would run gets a leading '
  std::vector<TimestampReading> readings;  // by row position; empty: the automatic reading
};

// How many rows are written between two calls of the stop check.
inline constexpr std::uint64_t kRowsBetweenStopChecks = 4096;

// Writes the rows of the table whose raw name is `name` to `path`: a JSON line handed to the kernel as soon
// as it is built, CSV records in blocks that are all in the file before each stop check and when the export
// ends or fails. An unknown table creates no file. `should_stop` is called with the rows written so far every
// kRowsBetweenStopChecks rows; when it returns true the export ends with Stage::Stopped.
ExportResult export_table_file(const Database& db, const std::string& name, const std::string& path,
                               const std::function<bool(std::uint64_t)>& should_stop, ExportOptions options = {});

}  // namespace pw::json
