// decode_record: splits a data record into one ColumnValue per column of its table (fixed, variable and
// tagged areas, the fixed-column null bitmap, tagged flag bytes, compression, defaults).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../types/column_value.hpp"
#include "../utils/bytes.hpp"
#include "decompress.hpp"

namespace pw {

namespace tagged_flag {
inline constexpr std::uint8_t kLongValueReference = 0x04;
inline constexpr std::uint8_t kCompressed = 0x02;
inline constexpr std::uint8_t kMultiValue = 0x08;
inline constexpr std::uint8_t kTwoValues = 0x10;  // with kMultiValue: byte 0 = length of the first value
inline constexpr std::uint8_t kEncrypted = 0x40;  // an intrinsic long value stored encrypted
}  // namespace tagged_flag

// A tagged column whose values the engine encrypts (the flag means nothing on other columns: the engine
// encrypts long-value columns only).
inline bool is_encrypted(const ColumnInfo& column) noexcept {
  return (column.flags & column_flag::kEncrypted) != 0 && column.id >= 256;
}

// A value of the row that has no readable form: the raw view keeps the stored bytes, the typed views give null.
struct UnreadableValue {
  std::size_t position;
  Unreadable reason;
};
// Unreadable values of one column by reason (indexed by Unreadable).
using UnreadableCounts = std::array<std::uint64_t, kUnreadableKinds>;

// One value per column, aligned with TableInfo::row_order (ascending column id).
struct Row {
  std::vector<ColumnValue> values;
  // Positions of values that are long-value references still to be resolved (LongBinary of the reference).
  std::vector<std::size_t> long_value_refs;
  // Values that are compressed in a scheme not decoded, corrupt, or encrypted: Binary of the stored bytes.
  std::vector<UnreadableValue> unreadable;
};

// `wanted` (aligned with the row) limits decoding to some columns; the others come back Null.
void decode_record(Bytes record, const TableInfo& table, bool large_page_mode, Row& row,
                   const std::vector<bool>* wanted = nullptr);

// Value of a tagged column whose value carries the compressed flag. A value of a scheme not decoded is Binary of
// all its bytes, a corrupt XPRESS stream Binary or Text of the bytes after its header (as the raw view always
// gave them), and `unreadable` (when given) is set to the reason.
ColumnValue decompress_tagged(Bytes bytes, const ColumnInfo& column, std::optional<Unreadable>* unreadable = nullptr);

}  // namespace pw
