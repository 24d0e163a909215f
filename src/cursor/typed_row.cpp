#include "typed_row.hpp"

#include "../record/multi_value.hpp"
#include "../record/parser.hpp"

namespace pw {
namespace {

ColumnValue multi_value_list(const ColumnValue& raw, const ColumnInfo& column, const LongValueIndex* long_values,
                             WalkCounts& counts, std::uint64_t& missing, UnreadableCounts& unreadable) {
  const auto flags = static_cast<std::uint8_t>(raw.u);
  if (is_encrypted(column)) {
    ++unreadable[static_cast<std::size_t>(Unreadable::Encrypted)];
    return ColumnValue::null();
  }
  std::vector<ColumnValue> items;
  std::optional<Unreadable> reason;
  for (const MultiValueElement& element : split_multi_value(as_bytes(raw.bytes), flags)) {
    reason.reset();
    if (element.long_value) {
      const auto ref = parse_long_value_ref(element.data);
      if (auto joined = ref && long_values ? long_values->gather(*ref, column, &reason) : std::nullopt) {
        items.push_back(reason ? ColumnValue::null() : text_or_binary(as_bytes(*joined), column));
      } else {
        ++counts.unresolved_long_values;
        ++missing;
        items.push_back(ColumnValue::null());  // no value to give: null, counted
      }
    } else if (items.empty() && (flags & tagged_flag::kCompressed)) {
      ColumnValue first = decompress_tagged(element.data, column, &reason);  // only the first is compressed
      items.push_back(reason ? ColumnValue::null() : std::move(first));
    } else {
      auto value = RecordParser::parse_column_value(element.data, column);
      items.push_back(value ? std::move(value.value()) : ColumnValue::null());
    }
    if (reason) ++unreadable[static_cast<std::size_t>(*reason)];
  }
  return ColumnValue::list(std::move(items));
}

}  // namespace

void make_row_typed(Row& row, const TableInfo& table, const std::vector<TimestampReading>& readings,
                    const LongValueIndex* long_values, WalkCounts& counts, std::vector<std::uint64_t>& missing,
                    std::vector<UnreadableCounts>* unreadable) {
  UnreadableCounts uncounted{};
  for (std::size_t k = 0; k < row.values.size(); ++k) {
    ColumnValue& value = row.values[k];
    if (value.is_null()) continue;
    const ColumnInfo& column = table.row_column(k);
    if (value.tag == ValueTag::MultiValue)
      value = multi_value_list(value, column, long_values, counts, missing[k], unreadable ? (*unreadable)[k] : uncounted);
    make_typed(value, column, readings.empty() ? TimestampReading::Auto : readings[k]);
  }
}

}  // namespace pw
