#include "parser.hpp"

#include <bit>
#include <cstring>

#include "../utils/text.hpp"

namespace pw {
namespace {

ColumnValue binary_of(Bytes bytes, ValueTag tag = ValueTag::Binary) {
  return ColumnValue::with_bytes(tag, to_byte_string(bytes));
}

}  // namespace

ColumnValue text_or_binary(Bytes bytes, const ColumnInfo& column) {
  if (is_text_column(column)) {
    auto text = decode_string(bytes, codepage_of(column));
    if (text) return ColumnValue::with_bytes(ValueTag::Text, std::move(text.value()));
  }
  return binary_of(bytes);
}

Result<ColumnValue> RecordParser::parse_column_value(Bytes b, const ColumnInfo& column) {
  using namespace column_type;
  if (b.empty()) return ColumnValue::null();
  auto need = [&](std::size_t width) { return b.size() >= width; };
  switch (column.column_type) {
    case kBit:
      return ColumnValue::boolean(b[0] != 0);
    case kUnsignedByte:
      switch (b.size()) {
        case 1:
          return ColumnValue::unsigned_of(ValueTag::U8, b[0]);
        case 2:
          return ColumnValue::unsigned_of(ValueTag::U16, read_u16le(b, 0).value_or(0));
        case 4:
          return ColumnValue::unsigned_of(ValueTag::U32, read_u32le(b, 0).value_or(0));
        case 8:
          return ColumnValue::unsigned_of(ValueTag::U64, read_u64le(b, 0).value_or(0));
        default:
          return binary_of(b);
      }
    case kShort:
      if (!need(2)) return binary_of(b);
      return ColumnValue::signed_of(ValueTag::I16, static_cast<std::int16_t>(read_u16le(b, 0).value_or(0)));
    case kLong:
      if (!need(4)) return binary_of(b);
      return ColumnValue::signed_of(ValueTag::I32, static_cast<std::int32_t>(read_u32le(b, 0).value_or(0)));
    case kCurrency:
      if (!need(8)) return binary_of(b);
      return ColumnValue::unsigned_of(ValueTag::Currency, read_u64le(b, 0).value_or(0));
    case kIEEESingle:
      if (!need(4)) return binary_of(b);
      return ColumnValue::floating(ValueTag::F32,
                                   static_cast<double>(std::bit_cast<float>(read_u32le(b, 0).value_or(0))));
    case kIEEEDouble:
      if (!need(8)) return binary_of(b);
      return ColumnValue::floating(ValueTag::F64, std::bit_cast<double>(read_u64le(b, 0).value_or(0)));
    case kDateTime:
      if (!need(8)) return binary_of(b);
      return ColumnValue::unsigned_of(ValueTag::DateTime, read_u64le(b, 0).value_or(0));
    case kBinary:
      return binary_of(b);
    case kLongBinary:
      return binary_of(b, ValueTag::LongBinary);
    case kText:
    case kLongText: {
      auto text = decode_string(b, codepage_of(column));
      if (!text) return std::move(text).error();
      return ColumnValue::with_bytes(ValueTag::Text, std::move(text.value()));
    }
    case kUnsignedLong:
      if (!need(4)) return binary_of(b);
      return ColumnValue::unsigned_of(ValueTag::U32, read_u32le(b, 0).value_or(0));
    case kLongLong:  // a signed 64-bit integer, like Short and Long
      if (!need(8)) return binary_of(b);
      return ColumnValue::signed_of(ValueTag::I64, static_cast<std::int64_t>(read_u64le(b, 0).value_or(0)));
    case kGUID: {
      if (!need(16)) return binary_of(b);
      ColumnValue v;
      v.tag = ValueTag::Guid;
      std::memcpy(v.guid.data(), b.data(), 16);
      return v;
    }
    case kUnsignedShort:
      if (!need(2)) return binary_of(b);
      return ColumnValue::unsigned_of(ValueTag::U16, read_u16le(b, 0).value_or(0));
    case kUnsignedLongLong:
      if (!need(8)) return binary_of(b);
      return ColumnValue::unsigned_of(ValueTag::U64, read_u64le(b, 0).value_or(0));
    default:
      // A type code no engine writes: the stored bytes, so that nothing of the value is lost.
      if (column.column_type > kUnsignedLongLong) return binary_of(b);
      return ColumnValue::null();  // NULL, SLV (obsolete)
  }
}

}  // namespace pw
