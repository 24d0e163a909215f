// Fuzz target: amplification. A database image must cost work and output in proportion to its size: every
// row of every table is read (no cap), long values resolved, rows encoded as JSON lines, every scope carved.
// The oracle: entries are disjoint byte ranges of at least 2 bytes, so no table yields more rows than half
// the image; no cell is larger than the image plus what LZ77 streams legitimately expanded to while its row
// was read (hexadecimal doubles binary, JSON escapes at most sextuple text).
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  if (image.size() < 4096) image.resize(4096, 0);
  const std::uint64_t image_size = image.size();
  auto db = pw::Database::open_memory(std::move(image));
  if (!db) return 0;
  read_every_row(**db, image_size);
  const std::optional<std::string> no_needle;
  for (const auto scope : {pw::CarveScope::Slack, pw::CarveScope::All, pw::CarveScope::TagData, pw::CarveScope::LvAll,
                           pw::CarveScope::LvSlack}) {
    const auto hits = carve_utf16le_strings_scoped(**db, scope, no_needle, 4, kHits);
    pwfuzz::require(hits.size() <= kHits, "carving returned more hits than asked for");
  }
  return 0;
}
