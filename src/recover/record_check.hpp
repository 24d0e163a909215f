// Deciding whether a byte range is a record of a given table, and where a record found in slack ends.
//
// Required checks (a candidate failing any one is not a record of the table):
//   - at least 4 bytes; last fixed id <= the table's highest fixed column id; last variable id 127 (none) or
//     one of the table's variable column ids (128..its highest);
//   - variable offsets start = 4 + the fixed data of columns 1..last fixed id + the null bitmap, inside the record;
//   - variable end offsets (15 bits) never decrease and the variable data ends inside the record;
//   - a tagged area, if any: a directory of whole 4-byte entries inside the record, column ids strictly
//     ascending and each a tagged column of the table, value offsets never decreasing and inside the record, the
//     first at the directory's end; every flag byte only of the known bits (0x01 0x02 0x04 0x08 0x10, 0x10 only
//     with 0x08), a separated value (0x04, not multi-valued) a reference of 4 or 8 bytes;
//   - fixed values (not marked NULL) plausible: Bit 0x00, 0x01 or 0xFF (the engine writes 0xFF for true);
//     DateTime 0, or an OLE date (days since 1899-12-30) in 1900..2200, or a FILETIME in 1970..2200;
//   - text (fixed, variable, tagged; not compressed or separated) of a known codepage: UTF-16LE of whole code
//     units with every surrogate paired, or windows-1252 without its five unassigned bytes; no NUL inside;
//   - at least one value: a non-NULL fixed or variable column or a tagged entry.
// Optional checks (each that applies and holds adds 1 to the confidence; RecordCheck names them):
//   1. the null bitmap's unused high bits are set, as the engine writes them (last fixed id not a multiple of 8);
//   2. each NULL variable column's end word carries the previous end, as the engine writes it (some are NULL);
//   3. every NotNull column of the record's range has a value (the table has NotNull columns);
//   4. every text value is printable (no control characters but tab, CR, LF) (the record holds text);
//   5. every tagged value of a fixed-size type has exactly its type's size (the record holds one);
//   6. every long-value reference resolves (set by the caller, who holds the long-value tree).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../format/record_layout.hpp"
#include "../utils/bytes.hpp"

namespace pw {

// The optional checks, as bits of a mask of the checks that held.
enum RecordCheck : std::uint32_t {
  kCheckNullBitmapFiller = 1u << 0,
  kCheckNullVariableOffsets = 1u << 1,
  kCheckNotNullColumns = 1u << 2,
  kCheckPrintableText = 1u << 3,
  kCheckFixedSizeValues = 1u << 4,
  kCheckLongValuesResolve = 1u << 5,
};
inline constexpr std::size_t kRecordCheckCount = 6;
// "null_bitmap_filler", "null_variable_offsets", "not_null_columns", "printable_text", "fixed_size_values",
// "long_values_resolve", for the check of bit `index`.
std::string_view record_check_name(std::size_t index) noexcept;

inline constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

// Where a record found in slack ends: its length, and the row position of the value whose end was read from
// its bytes rather than stated by the record (kNoColumn when the record states every end).
struct SlackEnd {
  std::size_t length = 0;
  std::size_t inferred = kNoColumn;
  bool reference = false;  // the last value is a long-value reference (its width was chosen, not stated)
};

// What the checks need of a table, computed once per table.
class RecordShape {
 public:
  explicit RecordShape(const TableInfo& table);

  const TableInfo& table() const noexcept { return *table_; }
  // True when a record of the table could start with these 4 header bytes (a cheap filter for slack scans).
  bool plausible_header(Bytes at) const noexcept;

  // The mask of the optional checks that held (RecordCheck bits) when `record` passes every required check.
  std::optional<std::uint32_t> check(Bytes record, bool large_page_mode) const;

  // End of the record that starts at region[0], read from its own structure: the end of its variable data
  // when it has no tagged area, else the end of its last tagged value: a separated value's reference of
  // `long_value_ref_width` bytes, a fixed-size type's width, text up to where it stops being text (a control
  // or unassigned character, an unpaired surrogate, a change of script), other values up to where a later
  // entry plausibly starts, else up to the region's end without trailing zero bytes. `capped`: the region ends
  // where a later record's entry starts, so such a value runs up to it. Nothing when the structure does not
  // fit the region.
  std::optional<SlackEnd> slack_length(Bytes region, bool large_page_mode, std::size_t long_value_ref_width,
                                       bool capped) const;

 private:
  using Header = record_layout::RecordHeader;
  struct TaggedEntry {
    std::uint16_t id;
    std::uint32_t start;  // offset in the tagged area
    bool has_flag_byte;
  };
  // The record's header, variable offsets and tagged directory, all required checks of structure done;
  // tagged_start = where the tagged area begins. `len` is the record's length (or a region's, for slack).
  bool read_structure(Bytes rec, bool large, Header& h, std::size_t& tagged_start,
                      std::vector<TaggedEntry>& tagged) const;
  const ColumnInfo* tagged_column(std::uint32_t id) const noexcept;
  std::size_t tagged_position(std::uint32_t id) const noexcept;

  const TableInfo* table_;
  std::uint8_t max_fixed_id_ = 0;
  std::uint8_t max_variable_id_ = 127;
  std::array<const ColumnInfo*, 128> variable_{};              // by column id - 128
  std::vector<std::uint32_t> variable_offsets_start_;          // by last fixed id 0..max_fixed_id_
  std::vector<std::pair<std::uint32_t, std::size_t>> tagged_;  // (column id, row position), ascending
};

}  // namespace pw
