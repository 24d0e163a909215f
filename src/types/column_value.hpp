// ColumnValue: the typed value of one column of one row; type names; the GUID text form.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pw {

enum class ValueTag : std::uint8_t {
  Null = 0,
  Bool = 1,
  I8 = 2,
  U8 = 3,
  I16 = 4,
  U16 = 5,
  I32 = 6,
  U32 = 7,
  I64 = 8,
  U64 = 9,
  F32 = 10,
  F64 = 11,
  DateTime = 12,
  Currency = 13,
  Guid = 14,
  Binary = 15,
  Text = 16,
  MultiValue = 17,
  LongBinary = 18,
  List = 19,       // the elements of a multi-valued column, each a value of the column's type
  Timestamp = 20,  // microseconds since 1970-01-01 UTC, in `i`
};

struct ColumnValue {
  ValueTag tag = ValueTag::Null;
  std::uint64_t u = 0;  // Bool, unsigned kinds, DateTime, Currency; the tagged flag byte of a MultiValue
  std::int64_t i = 0;   // signed kinds
  double f = 0.0;       // F32 (widened exactly) and F64
  std::array<std::uint8_t, 16> guid{};
  std::string bytes;                  // Binary, MultiValue, LongBinary payloads; UTF-8 of Text
  std::vector<ColumnValue> elements;  // List

  static ColumnValue null() { return {}; }
  static ColumnValue boolean(bool v) { return unsigned_of(ValueTag::Bool, v ? 1 : 0); }
  static ColumnValue unsigned_of(ValueTag tag, std::uint64_t v) {
    ColumnValue c;
    c.tag = tag;
    c.u = v;
    return c;
  }
  static ColumnValue signed_of(ValueTag tag, std::int64_t v) {
    ColumnValue c;
    c.tag = tag;
    c.i = v;
    return c;
  }
  static ColumnValue floating(ValueTag tag, double v) {
    ColumnValue c;
    c.tag = tag;
    c.f = v;
    return c;
  }
  static ColumnValue with_bytes(ValueTag tag, std::string v) {
    ColumnValue c;
    c.tag = tag;
    c.bytes = std::move(v);
    return c;
  }
  static ColumnValue list(std::vector<ColumnValue> items) {
    ColumnValue c;
    c.tag = ValueTag::List;
    c.elements = std::move(items);
    return c;
  }
  bool is_null() const noexcept { return tag == ValueTag::Null; }
};

inline constexpr std::uint32_t kColumnTypeCount = 19;
// Display name of a column type code; "Unknown" outside 0..18.
std::string_view column_type_name(std::uint32_t code) noexcept;

// b3b2b1b0-b5b4-b7b6-b8b9-b10..b15, lower-case hexadecimal, no braces.
std::string guid_text(const std::array<std::uint8_t, 16>& g);

}  // namespace pw
