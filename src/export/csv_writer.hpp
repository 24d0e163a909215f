// CSV encoding of table rows (RFC 4180): a header row of the column names, then one record per row with the
// columns in row order (ascending column id). Lines end in CRLF. A field is quoted when it holds a comma, a
// double quote, CR or LF (quotes doubled inside), and an empty text is written `""` so that it differs from a
// null, which is an empty field. Values: integers and floats as in JSON Lines, instants in ISO 8601, GUIDs as
// text, binary as lower-case hex, multi-values as a JSON array.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../types/column_value.hpp"

namespace pw::csv {

// Appends `field` as one CSV field, quoted when it needs to be.
void append_field(std::string& out, std::string_view field);

// Appends the CSV field of one value (nothing for a null).
void append_value(std::string& out, const ColumnValue& value);

class RowEncoder {
 public:
  explicit RowEncoder(const TableInfo& table);

  // The names of the columns (bytes that are not UTF-8 as U+FFFD), then CRLF.
  void append_header(std::string& out) const;
  // The values of `row` (aligned with the table's row order; a value missing from a short row is a null).
  void append_row(std::string& out, const Row& row) const;

 private:
  const TableInfo* table_;
};

}  // namespace pw::csv
