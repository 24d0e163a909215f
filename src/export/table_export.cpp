#include "table_export.hpp"

#include "../cursor/table_cursor.hpp"
#include "../database.hpp"
#include "csv_writer.hpp"
#include "json_writer.hpp"
#include "output_file.hpp"

namespace pw::json {
namespace {

constexpr std::size_t kCsvWriteBytes = 1 << 16;

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
  // JSON Lines hands each line to the kernel as soon as it is built; CSV collects records up to
  // kCsvWriteBytes and writes them before every stop check, at a failure and at the end, so the rows a
  // progress callback or a failure reports are in the file.
  Row row;
  std::string out;
  std::uint64_t rows = 0;     // rows encoded
  std::uint64_t written = 0;  // rows whose bytes are in the file
  auto flush = [&]() -> int {
    if (const int err = io::write_all(file.get(), out.data(), out.size()); err != 0) return err;
    out.clear();
    written = rows;
    return 0;
  };
  if (csv) csv_encoder.append_header(out);
  for (;;) {
    if (rows % kRowsBetweenStopChecks == 0 && rows != 0 && should_stop) {
      if (const int err = flush(); err != 0)
        return failed(written, ExportFailure::Stage::Write, "Write error: " + os_error_text(err));
      if (should_stop(rows)) return failed(rows, ExportFailure::Stage::Stopped, {});
    }
    auto more = cursor->next_row(row);
    if (!more) {
      const int err = flush();
      return failed(written, err ? ExportFailure::Stage::Write : ExportFailure::Stage::ReadRecord,
                    err ? "Write error: " + os_error_text(err) : "Error reading record: " + more.error().to_string());
    }
    if (!more.value()) break;
    if (csv) {
      csv_encoder.append_row(out, row);
    } else {
      encoder.append_row(out, row);
    }
    ++rows;
    if (!csv || out.size() >= kCsvWriteBytes) {
      if (const int err = flush(); err != 0)
        return failed(written, ExportFailure::Stage::Write, "Write error: " + os_error_text(err));
    }
  }
  if (const int err = flush(); err != 0)
    return failed(written, ExportFailure::Stage::Write, "Write error: " + os_error_text(err));
  return {rows, std::nullopt};
}

}  // namespace pw::json
