// Fuzz target: a whole database image. Opens it from memory, reads every row of every table (bounded),
// encodes each row as a JSON line and a CSV record, streams every table as Arrow batches, recovers deleted
// records of every table and carves every scope.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "carve/scoped_carver.hpp"
#include "checksum/verify.hpp"
#include "columnar/arrow_stream.hpp"
#include "cursor/table_cursor.hpp"
#include "database.hpp"
#include "export/csv_writer.hpp"
#include "export/file_name.hpp"
#include "export/json_writer.hpp"
#include "fuzz_checks.hpp"
#include "recover/recover.hpp"

namespace {

constexpr std::size_t kMinImage = 4096;
constexpr int kMaxRowsPerTable = 10000;
constexpr std::uint64_t kMaxHits = 16;
constexpr std::uint64_t kMinChars = 4;

// The files of every table in one directory: each one UTF-8 path component, with room for ".partial", and no
// two alike for a volume that ignores ASCII case.
void check_file_names(const pw::Database& db) {
  std::vector<std::string> names;
  for (const auto& entry : db.tables()) names.push_back(entry.first);
  const auto ascii_fold = [](const std::string& name) {
    std::string folded = name;
    for (char& c : folded) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return folded;
  };
  std::unordered_set<std::string> folds;
  for (const std::string& file : pw::json::distinct_file_names(names, ".parquet", ascii_fold)) {
    pwfuzz::require(pwfuzz::is_utf8(file) && file.find('/') == std::string::npos && file.size() <= 247,
                    "export file name is not one UTF-8 path component with room for .partial");
    pwfuzz::require(folds.insert(ascii_fold(file)).second, "two tables share a file on a case-blind volume");
  }
}

void read_all_tables(const pw::Database& db) {
  pw::Row row;
  std::string line;
  check_file_names(db);
  for (const auto& [name, table] : db.tables()) {
    auto cursor = open_table(db, name);
    pwfuzz::require(cursor || cursor.error().kind() != pw::ErrorKind::TableNotFound, "a registered table is not found");
    if (!cursor) {
      (void)cursor.error().to_string();
      continue;
    }
    const pw::json::RowEncoder encoder(table);
    const pw::json::RowEncoder keyed(table, pw::json::MemberNames::Keys, true);
    const pw::csv::RowEncoder csv_encoder(table, {true, true});
    for (int n = 0; n < kMaxRowsPerTable; ++n) {
      auto more = cursor->next_row(row);
      if (!more) {
        (void)more.error().to_string();
        break;
      }
      if (!*more) break;
      pwfuzz::require(row.values.size() == table.row_order.size(), "row size differs from the column count");
      pwfuzz::require(row.long_value_refs.empty(), "unresolved long-value reference left in a row");
      line.clear();
      encoder.append_row(line, row);
      pwfuzz::require(!line.empty() && line.front() == '{' && line.back() == '\n', "JSON line is not an object");
      pwfuzz::require(pwfuzz::is_utf8(line), "JSON line is not valid UTF-8");
      line.clear();
      keyed.append_row(line, row, cursor->row_deleted());
      pwfuzz::require(pwfuzz::is_utf8(line) && line.back() == '\n', "keyed JSON line is not valid UTF-8");
      line.clear();
      csv_encoder.append_row(line, row, cursor->row_deleted());
      pwfuzz::require(line.size() >= 2 && line.ends_with("\r\n"), "CSV record does not end in CRLF");
    }
  }
}

// The offsets of a variable or list array rise from 0; a variable array's last offset lies inside its data
// (the byte before it is read, so AddressSanitizer sees data shorter than the offsets claim) and a list's
// inside its values, which are checked in turn.
void check_offsets(const ArrowArray& array, const ArrowSchema& field) {
  const std::string_view format = field.format;
  const bool list = format == "+l";
  if (!list && format != "u" && format != "z") return;
  const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
  pwfuzz::require(offsets[0] == 0, "offsets start past 0");
  for (std::int64_t i = 0; i < array.length; ++i) pwfuzz::require(offsets[i] <= offsets[i + 1], "offsets fall");
  const std::int32_t end = offsets[array.length];
  if (list) {
    pwfuzz::require(array.n_children == 1 && end <= array.children[0]->length, "list offsets past its values");
    check_offsets(*array.children[0], *field.children[0]);
  } else if (end > 0) {
    const volatile std::uint8_t last = static_cast<const std::uint8_t*>(array.buffers[2])[end - 1];
    (void)last;
  }
}

// Every table as an Arrow stream (typed and raw, small batches): each batch is a struct array whose columns
// all have the batch's length and consistent offsets, and every struct handed out is released exactly once.
void stream_all_tables(const pw::Database& db) {
  const std::shared_ptr<const pw::Database> shared(&db, [](const pw::Database*) {});
  for (const auto& [name, table] : db.tables()) {
    for (const bool typed : {true, false}) {
      pw::columnar::ArrowStreamOptions options;
      options.table.typed = typed;
      options.deleted = typed ? pw::DeletedRows::Exclude : pw::DeletedRows::Include;
      options.batch_rows = 7;
      ArrowArrayStream stream{};
      auto report = pw::columnar::open_arrow_stream(shared, name, options, &stream);
      if (!report) continue;
      ArrowSchema schema{};
      pwfuzz::require(stream.get_schema(&stream, &schema) == 0, "no schema");
      const auto columns = schema.n_children;
      const bool marker = options.deleted != pw::DeletedRows::Exclude;  // the deleted marker, a last field
      pwfuzz::require(columns == static_cast<std::int64_t>(table.row_order.size() + marker), "schema misses columns");
      std::int64_t rows = 0;
      while (rows < kMaxRowsPerTable) {
        ArrowArray batch{};
        if (stream.get_next(&stream, &batch) != 0) {
          pwfuzz::require(stream.get_last_error(&stream) != nullptr, "a failed stream gives no error text");
          break;
        }
        if (!batch.release) break;
        pwfuzz::require(batch.length >= 1 && batch.length <= 7 && batch.n_children == columns, "malformed batch");
        for (std::int64_t c = 0; c < columns; ++c) {
          const ArrowArray& child = *batch.children[c];
          pwfuzz::require(child.length == batch.length && child.null_count <= child.length, "column length");
          check_offsets(child, *schema.children[c]);
        }
        rows += batch.length;
        batch.release(&batch);
        pwfuzz::require(batch.release == nullptr, "array release left it unreleased");
      }
      stream.release(&stream);
      schema.release(&schema);
      pwfuzz::require(schema.release == nullptr, "schema release left it unreleased");
    }
  }
}

// Every recovered record lies inside its page, decodes to one value per column and does not overlap the one
// before it on the same page.
void recover_all_tables(const pw::Database& db) {
  for (const auto& [name, table] : db.tables()) {
    auto records = pw::recover_records(db, table, pw::RecoverSources{});
    if (!records) {
      (void)records.error().to_string();
      continue;
    }
    const pw::RecoveredRecord* previous = nullptr;
    for (const auto& r : *records) {
      pwfuzz::require(r.offset + static_cast<std::uint64_t>(r.length) <= db.page_size(), "record runs off its page");
      pwfuzz::require(r.row.values.size() == table.row_order.size(), "recovered row size differs from the columns");
      if (previous && previous->page == r.page) {
        pwfuzz::require(previous->offset + previous->length <= r.offset, "recovered records overlap");
      }
      previous = &r;
    }
  }
}

void carve_all_scopes(const pw::Database& db) {
  const std::optional<std::string> no_needle;
  const std::optional<std::string> needle("e");
  for (const auto scope : {pw::CarveScope::Slack, pw::CarveScope::All, pw::CarveScope::TagData, pw::CarveScope::LvAll,
                           pw::CarveScope::LvSlack}) {
    for (const auto* n : {&no_needle, &needle}) {
      const auto hits = carve_utf16le_strings_scoped(db, scope, *n, kMinChars, kMaxHits);
      pwfuzz::require(hits.size() <= kMaxHits, "carving returned more hits than asked for");
      for (const auto& hit : hits) {
        pwfuzz::require(hit.page >= 1 && hit.page <= db.total_pages(), "carved hit on a page out of range");
        pwfuzz::require(hit.text.size() >= kMinChars, "carved string shorter than min_chars");
        for (const char c : hit.text) pwfuzz::require(c >= 0x20 && c <= 0x7E, "carved string not printable");
        pwfuzz::require(hit.offset + 2 * hit.text.size() <= db.page_size(), "carved string runs off its page");
        if (*n) pwfuzz::require(hit.text.find(**n) != std::string::npos, "carved string lacks the needle");
      }
      // Text of any script: UTF-8 of at least kMinChars characters, each of one or two units within the page.
      const pw::CarveOptions any{.any_script = true, .tree_owners = true};
      for (const auto& hit : carve_scoped(db, scope, *n, kMinChars, kMaxHits, any).hits) {
        const auto chars = static_cast<std::size_t>(
            std::count_if(hit.text.begin(), hit.text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
        pwfuzz::require(pwfuzz::is_utf8(hit.text) && chars >= kMinChars, "any-script string not UTF-8 text");
        pwfuzz::require(hit.offset + 2 * chars <= db.page_size(), "any-script string runs off its page");
        if (*n) pwfuzz::require(hit.text.find(**n) != std::string::npos, "any-script string lacks the needle");
      }
    }
  }
}

}  // namespace

// Every page's checksum: a page whose flipped bits the ECC locates verifies once they are flipped back.
void verify_all_pages(const pw::Database& db) {
  pw::VerifyReport report = pw::begin_verify(db.file_bytes(), db.page_size());
  pw::verify_pages(db.file_bytes(), 1, UINT32_MAX, 4, report);
  pwfuzz::require(report.ok + report.uninitialized + report.mismatched + report.correctable == report.pages,
                  "verify counts do not add up");
  for (const pw::PageFailure& failure : report.failures) {
    if (failure.check.condition != pw::PageCondition::Correctable) continue;
    const pw::Bytes page = db.file_bytes().subspan((std::uint64_t{failure.page} + 1) * db.page_size(), db.page_size());
    std::vector<std::uint8_t> copy(page.begin(), page.end());
    pw::correct_page(copy, failure.check);
    pwfuzz::require(pw::check_page(copy, failure.page).condition == pw::PageCondition::Ok,
                    "a corrected page does not verify");
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  if (image.size() < kMinImage) image.resize(kMinImage, 0);
  auto db = pw::Database::open_memory(std::move(image));
  if (!db) {
    (void)db.error().to_string();
    return 0;
  }
  read_all_tables(**db);
  stream_all_tables(**db);
  recover_all_tables(**db);
  carve_all_scopes(**db);
  verify_all_pages(**db);
  return 0;
}
