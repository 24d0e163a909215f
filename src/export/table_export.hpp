// Export of one table to a JSON Lines or CSV file: opens the table, creates the output file safely, writes one
// line per row (CSV: after a header line). Runs without Python, so the binding can let other threads run meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

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
};

struct ExportResult {
  std::uint64_t rows = 0;  // lines written, also those written before a failure (they stay in the file)
  std::optional<ExportFailure> failure;
};

enum class ExportFormat : std::uint8_t { JsonLines, Csv };

struct ExportOptions {
  bool typed = false;  // the typed view: signed Currency, ISO 8601 instants, multi-values as arrays
  ExportFormat format = ExportFormat::JsonLines;
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
