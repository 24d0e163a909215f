// Fuzz target: amplification. A database image must cost work and output in proportion to its size: every
// row of every table is read (no cap), long values resolved, rows encoded as JSON lines, every scope carved.
// The oracle: entries are disjoint byte ranges of at least 2 bytes, so no table yields more rows than half
// the image; no cell is larger than the image plus what LZ77 streams legitimately expanded to while its row
// was read (hexadecimal doubles binary, JSON escapes at most sextuple text). Recovered records, raw and typed:
// each page hands out at most a quarter of its bytes in records, and all values of all records together stay
// within the image and its expansion given out kMaxLongValueRepeats times (each long value is given out in full
// that often at most) plus the records' own bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "carve/scoped_carver.hpp"
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
      const std::uint64_t expanded_before = pw::lz77_output_bytes_on_this_thread();
      auto more = cursor->next_row(row);
      if (!more || !*more) break;
      pwfuzz::require(++rows <= image_size / 2, "a table yields more rows than its image can hold");
      const std::uint64_t budget =
          kEscapeFactor * (image_size + pw::lz77_output_bytes_on_this_thread() - expanded_before) + 64;
      for (const pw::ColumnValue& value : row.values)
        pwfuzz::require(value.bytes.size() <= budget, "a cell is larger than the image and its expansion");
      line.clear();
      encoder.append_row(line, row);
      pwfuzz::require(line.size() <= budget * row.values.size() + 64, "a JSON line outgrows its row's budget");
    }
  }
}

std::uint64_t value_bytes(const pw::ColumnValue& value) {
  std::uint64_t n = value.bytes.size();
  for (const pw::ColumnValue& element : value.elements) n += value_bytes(element);
  return n;
}

void recover_every_table(const pw::Database& db, std::uint64_t image_size) {
  std::vector<pw::RecoveredRecord> page;
  for (const bool typed : {false, true}) {
    for (const auto& [name, table] : db.tables()) {
      auto recovery = pw::RecordRecovery::open(db, table, pw::RecoverSources{}, typed);
      if (!recovery) continue;
      const std::uint64_t expanded_before = pw::lz77_output_bytes_on_this_thread();
      std::uint64_t records = 0, values = 0;
      for (page.clear(); recovery->next_page(page); page.clear()) {
        pwfuzz::require(page.size() <= db.page_size() / 4, "a page hands out more records than it can hold");
        for (const pw::RecoveredRecord& r : page) {
          ++records;
          for (const pw::ColumnValue& v : r.row.values) values += value_bytes(v);
        }
      }
      const std::uint64_t expanded = pw::lz77_output_bytes_on_this_thread() - expanded_before;
      pwfuzz::require(records <= image_size / 4, "recovery yields more records than the image can hold");
      const std::uint64_t budget = (pw::kMaxLongValueRepeats + 2) * (image_size + expanded) + 64 * records;
      pwfuzz::require(values <= budget, "recovered values outgrow the image and its expansion");
    }
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
  recover_every_table(**db, image_size);
  const std::optional<std::string> no_needle;
  for (const auto scope : {pw::CarveScope::Slack, pw::CarveScope::All, pw::CarveScope::TagData, pw::CarveScope::LvAll,
                           pw::CarveScope::LvSlack}) {
    const auto hits = carve_utf16le_strings_scoped(**db, scope, no_needle, 4, kHits);
    pwfuzz::require(hits.size() <= kHits, "carving returned more hits than asked for");
  }
  return 0;
}
