// Fuzz target: amplification. A database image must cost work and output in proportion to its size: every
// row of every table is read (no cap), long values resolved, rows encoded as JSON lines, every scope carved.
// The oracle: entries are disjoint byte ranges of at least 2 bytes, so no table yields more rows than half
// the image; no cell is larger than the image plus what LZ77 streams legitimately expanded to while its row
// was read (hexadecimal doubles binary, JSON escapes at most sextuple text). The typed views — typed rows
// (multi-values as lists) and the Arrow typed stream — give a table no more bytes of values than the image
// and the long values joined again within the cursor's budget, plus the LZ77 expansion, as text decoded to
// UTF-8 (at most three bytes per stored byte), plus a slot's worth per row and column. Recovered records, raw
// and typed: each page hands out at most a quarter of its bytes in records, and all values of all records
// together stay within that same budget.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carve/scoped_carver.hpp"
#include "columnar/arrow_stream.hpp"
#include "cursor/long_value_budget.hpp"
#include "cursor/table_cursor.hpp"
#include "database.hpp"
#include "export/json_writer.hpp"
#include "fuzz_checks.hpp"
#include "record/decompress.hpp"
#include "recover/recover.hpp"

namespace {

constexpr std::uint64_t kEscapeFactor = 6;
constexpr std::uint64_t kHits = 64;

void read_every_row(const pw::Database& db, std::uint64_t image_size) {
  pw::Row row;
  std::string line;
  for (const auto& [name, table] : db.tables()) {
    auto cursor = open_table(db, name);
    if (!cursor) continue;
    const pw::json::RowEncoder encoder(table);
    std::uint64_t rows = 0;
    for (;;) {
      const std::uint64_t expanded_before = pw::expanded_bytes_on_this_thread();
      auto more = cursor->next_row(row);
      if (!more || !*more) break;
      pwfuzz::require(++rows <= image_size / 2, "a table yields more rows than its image can hold");
      const std::uint64_t budget =
          kEscapeFactor * (image_size + pw::expanded_bytes_on_this_thread() - expanded_before) + 64;
      for (const pw::ColumnValue& value : row.values)
        pwfuzz::require(value.bytes.size() <= budget, "a cell is larger than the image and its expansion");
      line.clear();
      encoder.append_row(line, row);
      pwfuzz::require(line.size() <= budget * row.values.size() + 64, "a JSON line outgrows its row's budget");
    }
  }
}

// Bytes of values a typed table may give: three bytes per stored or expanded byte, a slot per value.
std::uint64_t typed_budget(std::uint64_t image_size, std::uint64_t expanded, std::uint64_t rows, std::size_t columns) {
  return 3 * ((1 + pw::LongValueBudget::kRepeatFactor) * image_size + expanded) + 64 * rows * (columns + 1) + 64;
}

std::uint64_t value_bytes(const pw::ColumnValue& v) {
  std::uint64_t total = v.bytes.size();
  for (const pw::ColumnValue& e : v.elements) total += 8 + value_bytes(e);
  return total;
}

void read_typed_rows(const pw::Database& db, std::uint64_t image_size) {
  pw::Row row;
  pw::CursorOptions options;
  options.typed = true;
  for (const auto& [name, table] : db.tables()) {
    auto cursor = open_table(db, name, options);
    if (!cursor) continue;
    const std::uint64_t expanded_before = pw::expanded_bytes_on_this_thread();
    std::uint64_t rows = 0, bytes = 0;
    for (;;) {
      auto more = cursor->next_row(row);
      if (!more || !*more) break;
      ++rows;
      for (const pw::ColumnValue& value : row.values) bytes += value_bytes(value);
      const std::uint64_t expanded = pw::expanded_bytes_on_this_thread() - expanded_before;
      pwfuzz::require(bytes <= typed_budget(image_size, expanded, rows, table.row_order.size()),
                      "typed rows outgrow the image");
    }
  }
}

void recover_every_table(const pw::Database& db, std::uint64_t image_size) {
  std::vector<pw::RecoveredRecord> page;
  for (const bool typed : {false, true}) {
    for (const auto& [name, table] : db.tables()) {
      auto recovery = pw::RecordRecovery::open(db, table, pw::RecoverSources{}, typed);
      if (!recovery) continue;
      const std::uint64_t expanded_before = pw::expanded_bytes_on_this_thread();
      std::uint64_t records = 0, values = 0;
      for (page.clear(); recovery->next_page(page); page.clear()) {
        pwfuzz::require(page.size() <= db.page_size() / 4, "a page hands out more records than it can hold");
        for (const pw::RecoveredRecord& r : page) {
          ++records;
          for (const pw::ColumnValue& v : r.row.values) values += value_bytes(v);
        }
      }
      const std::uint64_t expanded = pw::expanded_bytes_on_this_thread() - expanded_before;
      pwfuzz::require(records <= image_size / 4, "recovery yields more records than the image can hold");
      pwfuzz::require(values <= typed_budget(image_size, expanded, records, table.row_order.size()),
                      "recovered values outgrow the image and its expansion");
    }
  }
}

// Bytes of text, binary and list elements in an exported array of the stream.
std::uint64_t array_bytes(const ArrowSchema& schema, const ArrowArray& array) {
  const std::string_view format = schema.format;
  std::uint64_t total = 0;
  if (format == "+s") {
    for (std::int64_t c = 0; c < array.n_children; ++c) total += array_bytes(*schema.children[c], *array.children[c]);
  } else if (format == "+l" || format == "u" || format == "z") {
    const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
    pwfuzz::require(offsets[array.length] >= offsets[0], "offsets of an array go back");
    total = static_cast<std::uint64_t>(offsets[array.length] - offsets[0]);
    if (format == "+l") total = 8 * total + array_bytes(*schema.children[0], *array.children[0]);
  }
  return total;
}

void read_typed_streams(const pw::Database& db, std::uint64_t image_size) {
  const std::shared_ptr<const pw::Database> shared(&db, [](const pw::Database*) {});
  for (const auto& [name, table] : db.tables()) {
    ArrowArrayStream stream{};
    pw::columnar::ArrowStreamOptions options;
    options.deleted = pw::DeletedRows::Include;
    options.batch_rows = 64;
    const std::uint64_t expanded_before = pw::expanded_bytes_on_this_thread();
    if (!open_arrow_stream(shared, name, options, &stream)) continue;
    ArrowSchema schema{};
    std::uint64_t rows = 0, bytes = 0;
    if (stream.get_schema(&stream, &schema) == 0) {
      for (;;) {
        ArrowArray batch{};
        if (stream.get_next(&stream, &batch) != 0 || !batch.release) break;
        rows += static_cast<std::uint64_t>(batch.length);
        bytes += array_bytes(schema, batch);
        batch.release(&batch);
        const std::uint64_t expanded = pw::expanded_bytes_on_this_thread() - expanded_before;
        pwfuzz::require(bytes <= typed_budget(image_size, expanded, rows, table.row_order.size()),
                        "the Arrow typed stream outgrows the image");
        pwfuzz::require(rows <= image_size / 2, "a stream yields more rows than its image can hold");
      }
      schema.release(&schema);
    }
    stream.release(&stream);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  if (image.size() < 4096) image.resize(4096, 0);
  const std::uint64_t image_size = image.size();
  auto db = pw::Database::open_memory(std::move(image));
  if (!db) return 0;
  read_every_row(**db, image_size);
  read_typed_rows(**db, image_size);
  read_typed_streams(**db, image_size);
  recover_every_table(**db, image_size);
  const std::optional<std::string> no_needle;
  for (const auto scope : {pw::CarveScope::Slack, pw::CarveScope::All, pw::CarveScope::TagData, pw::CarveScope::LvAll,
                           pw::CarveScope::LvSlack}) {
    const auto hits = carve_utf16le_strings_scoped(**db, scope, no_needle, 4, kHits);
    pwfuzz::require(hits.size() <= kHits, "carving returned more hits than asked for");
  }
  return 0;
}
