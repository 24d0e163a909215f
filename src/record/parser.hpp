// RecordParser: turns one column's stored bytes into a ColumnValue by the column's type code.
#pragma once

#include "../catalog/table_info.hpp"
#include "../result.hpp"
#include "../types/column_value.hpp"
#include "../utils/bytes.hpp"

namespace pw {

namespace column_type {
inline constexpr std::uint32_t kNull = 0;
inline constexpr std::uint32_t kBit = 1;
inline constexpr std::uint32_t kUnsignedByte = 2;
inline constexpr std::uint32_t kShort = 3;
inline constexpr std::uint32_t kLong = 4;
inline constexpr std::uint32_t kCurrency = 5;
inline constexpr std::uint32_t kIEEESingle = 6;
inline constexpr std::uint32_t kIEEEDouble = 7;
inline constexpr std::uint32_t kDateTime = 8;
inline constexpr std::uint32_t kBinary = 9;
inline constexpr std::uint32_t kText = 10;
inline constexpr std::uint32_t kLongBinary = 11;
inline constexpr std::uint32_t kLongText = 12;
inline constexpr std::uint32_t kSLV = 13;
inline constexpr std::uint32_t kUnsignedLong = 14;
inline constexpr std::uint32_t kLongLong = 15;
inline constexpr std::uint32_t kGUID = 16;
inline constexpr std::uint32_t kUnsignedShort = 17;
// An 8-byte unsigned integer, written by Windows 10 and later engines (the code older engines used as the count
// of types, "Max", and never stored).
inline constexpr std::uint32_t kUnsignedLongLong = 18;
}  // namespace column_type

inline bool is_text_column(const ColumnInfo& column) noexcept {
  return column.column_type == column_type::kText || column.column_type == column_type::kLongText;
}

inline std::uint32_t codepage_of(const ColumnInfo& column) noexcept { return column.codepage.value_or(1252); }

struct RecordParser {
  // Values shorter than their type's width come back as Binary of the bytes present.
  static Result<ColumnValue> parse_column_value(Bytes bytes, const ColumnInfo& column);
};

// Text for text columns (Binary when the codepage rejects it), Binary for every other type.
ColumnValue text_or_binary(Bytes bytes, const ColumnInfo& column);

}  // namespace pw
