#include "typed_row.hpp"

#include "../record/multi_value.hpp"
#include "../record/parser.hpp"

namespace pw {
namespace {

ColumnValue multi_value_list(const ColumnValue& raw, const ColumnInfo& column, const LongValueIndex* long_values,
                             WalkCounts& counts, std::uint64_t& missing, std::uint64_t* unreadable,
                             LongValueBudget* budget, UnreadableCounts* reasons) {
  const auto flags = static_cast<std::uint8_t>(raw.u);
  const auto count_unreadable = [&](Unreadable reason) {
    if (unreadable) ++*unreadable;
    if (reasons) ++(*reasons)[static_cast<std::size_t>(reason)];
  };
  if (is_encrypted(column)) {
    count_unreadable(Unreadable::Encrypted);
    return ColumnValue::null();
  }
  const MultiValueElements split = split_multi_value(as_bytes(raw.bytes), flags);
  if (split.cut && unreadable) ++*unreadable;
  std::vector<ColumnValue> items;
  items.reserve(split.elements.size());
  std::optional<Unreadable> reason;
  for (const MultiValueElement& element : split.elements) {
    reason.reset();
    if (element.long_value) {
      const auto ref = parse_long_value_ref(element.data);
      if (auto joined = ref && long_values ? long_values->gather(*ref, column, &reason) : std::nullopt) {
        if (budget && !budget->admit(*ref, joined->size())) {
          if (unreadable) ++*unreadable;
          reason.reset();  // counted once, as past the budget
          items.push_back(ColumnValue::null());  // joined again past the budget: not given, counted
        } else {
          items.push_back(reason ? ColumnValue::null() : text_or_binary(as_bytes(*joined), column));
        }
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
    if (reason) count_unreadable(*reason);
  }
  return ColumnValue::list(std::move(items));
}

}  // namespace

void make_row_typed(Row& row, const TableInfo& table, const std::vector<TimestampReading>& readings,
                    const LongValueIndex* long_values, WalkCounts& counts, std::vector<std::uint64_t>& missing,
                    std::vector<std::uint64_t>* unreadable, LongValueBudget* budget,
                    std::vector<UnreadableCounts>* reasons) {
  for (std::size_t k = 0; k < row.values.size(); ++k) {
    ColumnValue& value = row.values[k];
    if (value.is_null()) continue;
    const ColumnInfo& column = table.row_column(k);
    if (value.tag == ValueTag::MultiValue)
      value = multi_value_list(value, column, long_values, counts, missing[k], unreadable ? &(*unreadable)[k] : nullptr,
                               budget, reasons ? &(*reasons)[k] : nullptr);
    make_typed(value, column, readings.empty() ? TimestampReading::Auto : readings[k]);
  }
}

}  // namespace pw
