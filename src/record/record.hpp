// decode_record: splits a data record into one ColumnValue per column of its table (fixed, variable and
// tagged areas, the fixed-column null bitmap, tagged flag bytes, compression, defaults).
#pragma once

#include <cstdint>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../types/column_value.hpp"
#include "../utils/bytes.hpp"

namespace pw {

namespace tagged_flag {
inline constexpr std::uint8_t kLongValueReference = 0x04;
inline constexpr std::uint8_t kCompressed = 0x02;
inline constexpr std::uint8_t kMultiValue = 0x08;
inline constexpr std::uint8_t kTwoValues = 0x10;  // with kMultiValue: byte 0 = length of the first value
}  // namespace tagged_flag

// One value per column, aligned with TableInfo::row_order (ascending column id).
struct Row {
  std::vector<ColumnValue> values;
  // Positions of values that are long-value references still to be resolved (LongBinary of the reference).
  std::vector<std::size_t> long_value_refs;
};

// `wanted` (aligned with the row) limits decoding to some columns; the others come back Null.
void decode_record(Bytes record, const TableInfo& table, bool large_page_mode, Row& row,
                   const std::vector<bool>* wanted = nullptr);

// Value of a tagged column whose value carries the compressed flag.
ColumnValue decompress_tagged(Bytes bytes, const ColumnInfo& column);

}  // namespace pw
