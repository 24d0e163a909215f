// CSV encoding of table rows (RFC 4180): a header row of the column keys, then one record per row with the
// columns in row order (ascending column id), and the deleted-row marker last when asked for. Lines end in CRLF. A field is quoted when it holds a comma, a
// double quote, CR or LF (quotes doubled inside), and an empty text is written `""` so that it differs from a
// null, which is an empty field. Values: integers and floats as in JSON Lines, instants in ISO 8601, GUIDs as
// text, binary as lower-case hex, multi-values as a JSON array.
// A spreadsheet runs a cell that starts with `=`, `+`, `-` or `@` (or a tab or CR before one) as a formula,
// and the evidence can put anything in a text value or a column name: such a text cell is written with a
// leading `'` unless the raw text is asked for.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../types/column_value.hpp"

namespace pw::csv {

// Appends `field` as one CSV field, quoted when it needs to be.
void append_field(std::string& out, std::string_view field);

// Whether a spreadsheet would take a text cell that starts like `text` as a formula.
bool looks_like_formula(std::string_view text) noexcept;

// Appends the CSV field of one value (nothing for a null); text that looks like a formula gets a leading `'`
// when `escape_formulas` is set.
void append_value(std::string& out, const ColumnValue& value, bool escape_formulas = false);

struct CsvOptions {
  bool deleted_marker = false;  // a last column, headed table.deleted_key: true for entries flagged deleted
  bool escape_formulas = true;
};

class RowEncoder {
 public:
  explicit RowEncoder(const TableInfo& table, CsvOptions options = {});

  // The column keys (bytes that are not UTF-8 as U+FFFD, keys made equal by that told apart as the column
  // keys are), then CRLF.
  void append_header(std::string& out) const;
  // The values of `row` (aligned with the table's row order; a value missing from a short row is a null).
  void append_row(std::string& out, const Row& row, bool deleted = false) const;

 private:
  const TableInfo* table_;
  CsvOptions options_;
  std::vector<std::string> header_;
};

}  // namespace pw::csv
