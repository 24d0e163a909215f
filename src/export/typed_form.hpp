// Whether a value has a form of its column's type: the check behind the unreadable_values count of the
// JSON Lines and CSV exports. A value without one (a fixed value stored short or long and so read as bytes,
// a DateTime that no reading accepts, text that its codepage cannot decode) is still written, in the form it
// has, and counted, so the output keeps every stored byte and says which values are not what their column
// promises.
#pragma once

#include <cstdint>

#include "../catalog/table_info.hpp"
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

}  // namespace pw::json
