#include "table_export.hpp"

#include "../cursor/table_cursor.hpp"
#include "../database.hpp"
#include "csv_writer.hpp"
#include "json_writer.hpp"
#include "output_file.hpp"

namespace pw::json {
namespace {

ExportResult failed(std::uint64_t rows, ExportFailure::Stage stage, std::string message) {
  return {rows, ExportFailure{stage, std::nullopt, std::move(message)}};
}

}  // namespace

ExportResult export_table_file(const Database& db, const std::string& name, const std::string& path,
                               const std::function<bool(std::uint64_t)>& should_stop, ExportOptions options) {
  CursorOptions cursor_options;
  cursor_options.typed = options.typed;
  auto cursor = open_table(db, name, std::move(cursor_options));
  if (!cursor) {
    std::string message = cursor.error().to_string();
    return {0, ExportFailure{ExportFailure::Stage::OpenTable, std::move(cursor.error()), std::move(message)}};
  }
  io::FileDescriptor file;
  if (const auto refused = io::open_output_file(path, file)) {
    return failed(0, ExportFailure::Stage::CreateFile, refused->to_string());
  }
  const RowEncoder encoder(cursor->table());
  const csv::RowEncoder csv_encoder(cursor->table());
  const bool csv = options.format == ExportFormat::Csv;
  Row row;
  std::string line;
  std::uint64_t rows = 0;
  if (csv) {
    csv_encoder.append_header(line);
    if (const int err = io::write_all(file.get(), line.data(), line.size()); err != 0) {
      return failed(rows, ExportFailure::Stage::Write, "Write error: " + os_error_text(err));
    }
  }
  for (;;) {
    if (rows % kRowsBetweenStopChecks == 0 && rows != 0 && should_stop && should_stop(rows)) {
      return failed(rows, ExportFailure::Stage::Stopped, {});
    }
    auto more = cursor->next_row(row);
    if (!more)
      return failed(rows, ExportFailure::Stage::ReadRecord, "Error reading record: " + more.error().to_string());
    if (!more.value()) break;
    line.clear();
    if (csv) {
      csv_encoder.append_row(line, row);
    } else {
      encoder.append_row(line, row);
    }
    if (const int err = io::write_all(file.get(), line.data(), line.size()); err != 0) {
      return failed(rows, ExportFailure::Stage::Write, "Write error: " + os_error_text(err));
    }
    ++rows;
  }
  return {rows, std::nullopt};
}

}  // namespace pw::json
