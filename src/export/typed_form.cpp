#include "typed_form.hpp"

#include <algorithm>

#include "../record/parser.hpp"

namespace pw::json {
namespace {

constexpr std::uint32_t bit(ValueTag tag) noexcept { return 1u << static_cast<unsigned>(tag); }

// The tag the record parser gives a well-formed value of the column's type, then the typed view's form.
std::uint32_t forms_of_type(std::uint32_t type, bool typed, TimestampReading reading) noexcept {
  using namespace column_type;
  switch (type) {
    case kBit:
      return bit(ValueTag::Bool);
    case kUnsignedByte:
      return bit(ValueTag::U8);
    case kShort:
      return bit(ValueTag::I16);
    case kLong:
      return bit(ValueTag::I32);
    case kUnsignedLong:
      return bit(ValueTag::U32);
    case kUnsignedShort:
      return bit(ValueTag::U16);
    case kLongLong:
      return bit(ValueTag::I64);
    case kUnsignedLongLong:
      return bit(ValueTag::U64);
    case kCurrency:
      return bit(typed ? ValueTag::I64 : ValueTag::Currency);
    case kIEEESingle:
      return bit(ValueTag::F32);
    case kIEEEDouble:
      return bit(ValueTag::F64);
    case kDateTime:
      if (!typed) return bit(ValueTag::DateTime);
      return bit(reading == TimestampReading::Raw ? ValueTag::U64 : ValueTag::Timestamp);
    case kBinary:
    case kLongBinary:
      return bit(ValueTag::Binary) | bit(ValueTag::LongBinary);
    case kText:
    case kLongText:
      return bit(ValueTag::Text);
    case kGUID:
      return bit(ValueTag::Guid);
    default:  // types that hold no value the parser reads: whatever a default gives is taken as it is
      return ~0u;
  }
}

}  // namespace

TypedForm::TypedForm(const ColumnInfo& column, bool typed, TimestampReading reading) noexcept {
  const bool forced = typed && reading != TimestampReading::Auto && reading != TimestampReading::Raw;
  accepted_ = forced ? bit(ValueTag::Timestamp) : forms_of_type(column.column_type, typed, reading);
  // The raw view keeps a multi-value's stored bytes; the typed view splits it into a list (checked per element).
  if (!typed && (column.flags & column_flag::kMultiValued)) accepted_ |= bit(ValueTag::MultiValue);
  accepted_ |= bit(ValueTag::Null);
}

UnfitValues::UnfitValues(const TableInfo& table, bool typed, const std::vector<TimestampReading>& readings)
    : counted_before_(table.row_order.size(), 0), counts_(table.row_order.size(), 0) {
  forms_.reserve(table.row_order.size());
  for (std::size_t k = 0; k < table.row_order.size(); ++k)
    forms_.emplace_back(table.row_column(k), typed, readings.empty() ? TimestampReading::Auto : readings[k]);
}

void UnfitValues::check(const Row& row, const std::vector<std::uint64_t>& cursor_counted) {
  const std::size_t n = std::min(row.values.size(), forms_.size());
  // Most rows: every value fits and the cursor counted nothing new.
  bool all_fit = true;
  for (std::size_t k = 0; k < n; ++k) all_fit &= forms_[k].fits(row.values[k]);
  if (all_fit && cursor_counted == counted_before_) return;
  for (std::size_t k = 0; k < n; ++k) {
    if (k < cursor_counted.size() && cursor_counted[k] != counted_before_[k]) {
      counted_before_[k] = cursor_counted[k];
    } else if (!forms_[k].fits(row.values[k])) {
      ++counts_[k];
    }
  }
}

std::vector<std::uint64_t> UnfitValues::with(const std::vector<std::uint64_t>& cursor_counted) const {
  std::vector<std::uint64_t> total = counts_;
  for (std::size_t k = 0; k < total.size() && k < cursor_counted.size(); ++k) total[k] += cursor_counted[k];
  return total;
}

}  // namespace pw::json
