#include "table_export.hpp"

#include "../database.hpp"
#include "csv_writer.hpp"
#include "json_writer.hpp"
#include "output_file.hpp"
#include "typed_form.hpp"

namespace pw::json {
namespace {

constexpr std::size_t kCsvWriteBytes = 1 << 16;

ExportFailure failure_of(ExportFailure::Stage stage, std::string message, int os_errno = 0) {
  return ExportFailure{stage, std::nullopt, std::move(message), os_errno};
}

// The output file: created in place (the raw export) or under a temporary name.
struct Output {
  io::FileDescriptor direct;
  io::ReplacingFile replacing;
  bool replace = false;
  int fd() const noexcept { return replace ? replacing.fd() : direct.get(); }
};

}  // namespace

ExportResult export_table_file(const Database& db, const std::string& name, const std::string& path,
                               const std::function<bool(std::uint64_t)>& should_stop, ExportOptions options) {
  CursorOptions cursor_options;
  cursor_options.typed = options.typed;
  cursor_options.deleted = options.deleted;
  cursor_options.readings = options.readings;
  auto cursor = open_table(db, name, std::move(cursor_options));
  ExportResult result;
  if (!cursor) {
    std::string message = cursor.error().to_string();
    result.failure = ExportFailure{ExportFailure::Stage::OpenTable, std::move(cursor.error()), std::move(message)};
    return result;
  }
  const TableInfo& table = cursor->table();
  Output file;
  file.replace = options.replace;
  const auto refused =
      file.replace ? io::ReplacingFile::create(path, file.replacing) : io::open_output_file(path, file.direct);
  if (refused) {
    result.failure = failure_of(ExportFailure::Stage::CreateFile, refused->to_string(), refused->error_number());
    return result;
  }
  const bool marker = options.keyed && options.deleted != DeletedRows::Exclude;
  const RowEncoder encoder(table, options.keyed ? MemberNames::Keys : MemberNames::Names, marker);
  const csv::RowEncoder csv_encoder(table, {marker, options.escape_formulas});
  const bool csv = options.format == ExportFormat::Csv;
  UnfitValues unfit(table, options.typed, options.readings);
  ExportCounts& counts = result.counts;
  // JSON Lines hands each line to the kernel as soon as it is built; CSV collects records up to
  // kCsvWriteBytes and writes them before every stop check, at a failure and at the end, so the rows a
  // progress callback or a failure reports are in the file.
  Row row;
  std::string out;
  std::uint64_t rows = 0;  // rows encoded
  auto flush = [&]() -> int {
    if (const int err = io::write_all(file.fd(), out.data(), out.size()); err != 0) return err;
    out.clear();
    result.rows = rows;
    return 0;
  };
  auto finish = [&](std::optional<ExportFailure> failure) {
    counts.walk = cursor->counts();
    counts.missing_long_values = cursor->missing_long_values();
    // Values the cursor could not give whole (a multi-value cut where its offsets go back, a long value joined
    // again past the budget) are unreadable too.
    counts.unreadable_values = unfit.with(cursor->unreadable_values());
    counts.deleted_passed_over = cursor->deleted_passed_over();
    if (file.replace && !failure) {
      if (const int err = file.replacing.commit(); err != 0)
        failure = failure_of(ExportFailure::Stage::Write, "Write error: " + os_error_text(err), err);
    }
    if (file.replace && failure) result.partial_path = file.replacing.abandon();
    result.failure = std::move(failure);
    return std::move(result);
  };
  auto write_failure = [&](int err) {
    return finish(failure_of(ExportFailure::Stage::Write, "Write error: " + os_error_text(err), err));
  };
  if (csv) csv_encoder.append_header(out);
  for (;;) {
    if (rows % kRowsBetweenStopChecks == 0 && rows != 0 && should_stop) {
      if (const int err = flush(); err != 0) return write_failure(err);
      if (should_stop(rows)) return finish(failure_of(ExportFailure::Stage::Stopped, {}));
    }
    auto more = cursor->next_row(row);
    if (!more) {
      if (const int err = flush(); err != 0) return write_failure(err);
      return finish(failure_of(ExportFailure::Stage::ReadRecord, "Error reading record: " + more.error().to_string()));
    }
    if (!more.value()) break;
    unfit.check(row, cursor->unreadable_values());
    const bool deleted = cursor->row_deleted();
    ++(deleted ? counts.deleted : counts.live);
    if (csv) {
      csv_encoder.append_row(out, row, deleted);
    } else {
      encoder.append_row(out, row, deleted);
    }
    ++rows;
    if (!csv || out.size() >= kCsvWriteBytes) {
      if (const int err = flush(); err != 0) return write_failure(err);
    }
  }
  if (const int err = flush(); err != 0) return write_failure(err);
  return finish(std::nullopt);
}

}  // namespace pw::json
