// Whether a value has a form of its column's type: the check behind the unreadable_values count of the
// JSON Lines and CSV exports. A value without one (a fixed value stored short or long and so read as bytes,
// a DateTime that no reading accepts, text that its codepage cannot decode) is still written, in the form it
// has, and counted, so the output keeps every stored byte and says which values are not what their column
// promises.
#pragma once

#include <cstdint>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../types/column_value.hpp"
#include "../types/typed_value.hpp"

namespace pw::json {

class TypedForm {
 public:
  // The forms `column` gives its values in the typed view (`typed`) or the raw view, under `reading`.
  TypedForm(const ColumnInfo& column, bool typed, TimestampReading reading) noexcept;

  // A null fits every column; a list fits when each of its elements does.
  bool fits(const ColumnValue& value) const noexcept {
    if (value.tag == ValueTag::List) {
      for (const ColumnValue& element : value.elements)
        if (!fits(element)) return false;
      return true;
    }
    return (accepted_ >> static_cast<unsigned>(value.tag)) & 1u;
  }

 private:
  std::uint32_t accepted_ = 0;  // bit t: a value of ValueTag t has a form of the column's type
};

// Counts, by row position, the values of each row that have no form of their column's type, leaving out a value
// that the cursor counted as unreadable in the same row (its count moved): what the exports and the row
// iterators report as unreadable beside the cursor's own counts.
class UnfitValues {
 public:
  // The forms of the typed or the raw view; `readings` by row position, empty for the automatic reading.
  UnfitValues(const TableInfo& table, bool typed, const std::vector<TimestampReading>& readings);

  // Checks the row the cursor gave last; `cursor_counted` is the cursor's unreadable_values after it.
  void check(const Row& row, const std::vector<std::uint64_t>& cursor_counted);
  // The counts so far plus the cursor's own, by row position.
  std::vector<std::uint64_t> with(const std::vector<std::uint64_t>& cursor_counted) const;

 private:
  std::vector<TypedForm> forms_;
  std::vector<std::uint64_t> counted_before_;  // the cursor's unreadable_values after the row before
  std::vector<std::uint64_t> counts_;
};

}  // namespace pw::json
