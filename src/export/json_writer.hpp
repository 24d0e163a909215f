// JSON Lines encoding of table rows: one compact object per row, members sorted by the raw bytes of the
// column names.
// Pure C++ (no Python), so it can be fuzzed and benchmarked on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../types/column_value.hpp"

namespace pw::json {

// Appends `text` as a quoted JSON string. `"` `\` and control characters below 0x20 are escaped; everything
// else, `/`, 0x7F and non-ASCII included, is copied as UTF-8. Bytes that are not well-formed UTF-8 are
// written as U+FFFD (each invalid sequence once), so the output is always valid UTF-8.
void append_string(std::string& out, std::string_view text);

// Appends a table or column name as a quoted JSON string, escaped like append_string except that each byte
// not part of a well-formed UTF-8 sequence is written as the escape \udcXX (XX its value), the lone surrogate
// Python's "surrogateescape" decoding gives it: distinct names stay distinct, and a JSON parser returns the
// same text as the name's Python str.
void append_name(std::string& out, std::string_view name);

// Appends a finite double as the shortest digits that read back to the same value: positional for decimal
// exponents -5..15 (`1.0`, `0.00001`, `1000000000000000.0`), otherwise `1e+16`, `2.5e-10`. Zero keeps its
// sign (`0.0`, `-0.0`); NaN and the infinities are written as `0`.
void append_double(std::string& out, double value);

// Appends the lower-case hexadecimal digits of `bytes`, two per byte, without quotes.
void append_hex(std::string& out, std::string_view bytes);

// Appends a Bool, integer or floating-point value (written alike in JSON and CSV); false for other kinds.
bool append_number(std::string& out, const ColumnValue& value);

// Appends the JSON value of one column value.
void append_value(std::string& out, const ColumnValue& value);

// How a row's members are named. Names: the column names, as the raw export writes them (of columns that share
// a name only the later one's member is kept); Keys: the table's distinct column keys, so that every value
// is written.
enum class MemberNames : std::uint8_t { Names, Keys };

// Encodes the rows of one table. The member order and the escaped `"key":` texts are worked out once here;
// encoding a row is then a walk over a precomputed list.
class RowEncoder {
 public:
  // With `deleted_marker`, every row also carries the member `table.deleted_key`: true for an entry flagged
  // deleted. Members are sorted by the raw bytes of their keys, the marker's among them.
  explicit RowEncoder(const TableInfo& table, MemberNames names = MemberNames::Names, bool deleted_marker = false);

  // Appends `{...}` and a line feed. `row.values[k]` is the value of `table.row_column(k)`; a value missing
  // from a short row is written as null. `deleted` is the marker's value.
  void append_row(std::string& out, const Row& row, bool deleted = false) const;

 private:
  static constexpr std::size_t kMarker = static_cast<std::size_t>(-1);
  struct Member {
    std::size_t position;  // index into Row::values, or kMarker
    std::string prefix;    // `{"key":` for the first member, `,"key":` for the others
  };
  std::vector<Member> members_;
};

}  // namespace pw::json
