#include "arrow_columns.hpp"

#include <algorithm>
#include <cstring>

#include "../catalog/column_keys.hpp"
#include "../record/parser.hpp"
#include "../types/column_value.hpp"
#include "../utils/utf8.hpp"

namespace pw::columnar {
namespace {

bool forces_instant(TimestampReading reading) noexcept {
  return reading == TimestampReading::Ole || reading == TimestampReading::Filetime || reading == TimestampReading::Unix;
}

// The kind of one value of the column. A forced reading turns the 8-byte kinds (and binary, whose 8-byte
// values it reads) into instants, as the typed view does; values it cannot read become null.
ArrowKind element_kind(const ColumnInfo& c, bool typed, TimestampReading reading) {
  using namespace column_type;
  const bool instant = typed && forces_instant(reading);
  switch (c.column_type) {
    case kBit:
      return ArrowKind::Bool;
    case kUnsignedByte:
      return ArrowKind::U8;
    case kShort:
      return ArrowKind::I16;
    case kUnsignedShort:
      return ArrowKind::U16;
    case kLong:
      return ArrowKind::I32;
    case kUnsignedLong:
      return ArrowKind::U32;
    case kLongLong:
      return instant ? ArrowKind::Timestamp : ArrowKind::I64;
    case kUnsignedLongLong:
      return instant ? ArrowKind::Timestamp : ArrowKind::U64;
    case kCurrency:
      return instant ? ArrowKind::Timestamp : typed ? ArrowKind::I64 : ArrowKind::U64;
    case kIEEESingle:
      return ArrowKind::F32;
    case kIEEEDouble:
      return instant ? ArrowKind::Timestamp : ArrowKind::F64;
    case kDateTime:
      return typed && reading != TimestampReading::Raw ? ArrowKind::Timestamp : ArrowKind::U64;
    case kText:
    case kLongText:
    case kGUID:
      return ArrowKind::Utf8;
    case kBinary:
    case kLongBinary:
      return instant ? ArrowKind::Timestamp : ArrowKind::Binary;
    default:  // Nil, SLV and unknown codes: the parser gives them no value
      return ArrowKind::Binary;
  }
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void append_escaped_byte(std::string& out, std::uint8_t byte) {
  out += '%';
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0xF];
}

std::string escaped_name(const std::string& raw) {
  std::string out;
  const auto* s = reinterpret_cast<const std::uint8_t*>(raw.data());
  for (std::size_t i = 0; i < raw.size();) {
    const Utf8Step step = utf8_step(s + i, raw.size() - i);
    if (step.valid && s[i] != 0) {
      out.append(raw, i, step.length);
    } else {
      for (std::size_t k = 0; k < step.length; ++k) append_escaped_byte(out, s[i + k]);
    }
    i += step.length;
  }
  return out;
}

std::string lower_hex(const std::string& bytes) {
  static constexpr char kLower[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    out += kLower[b >> 4];
    out += kLower[b & 0xF];
  }
  return out;
}

ArrowColumn table_column(const TableInfo& table, const ArrowTableOptions& options, std::size_t k, std::string name) {
  const ColumnInfo& c = table.row_column(k);
  const TimestampReading reading = options.readings.empty() ? TimestampReading::Auto : options.readings[k];
  const bool multi = (c.flags & column_flag::kMultiValued) != 0;
  ArrowColumn column;
  column.position = k;
  // The raw view keeps a multi-value as the bytes of its stored form.
  column.kind = multi && !options.typed ? ArrowKind::Binary : element_kind(c, options.typed, reading);
  column.list = multi && options.typed;
  std::vector<std::pair<std::string, std::string>> pairs = {
      {"pagewright.column_id", std::to_string(c.id)},
      {"pagewright.type", std::string(column_type_name(c.column_type))},
  };
  if (is_text_column(c)) pairs.emplace_back("pagewright.codepage", std::to_string(codepage_of(c)));
  // A field named otherwise than the column (a shared name, bytes that are not text) keeps the raw name.
  if (name != c.name) pairs.emplace_back("pagewright.raw_name", lower_hex(c.name));
  column.name = std::move(name);
  column.metadata = encode_metadata(pairs);
  return column;
}

void append_int32(std::string& out, std::int32_t v) {
  char bytes[4];
  std::memcpy(bytes, &v, 4);
  out.append(bytes, 4);
}

}  // namespace

std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out;
  append_int32(out, static_cast<std::int32_t>(pairs.size()));
  for (const auto& [key, value] : pairs) {
    append_int32(out, static_cast<std::int32_t>(key.size()));
    out.append(key);
    append_int32(out, static_cast<std::int32_t>(value.size()));
    out.append(value);
  }
  return out;
}

std::vector<std::string> field_names(const TableInfo& table) {
  std::vector<std::string> names;
  std::vector<std::uint32_t> ids;
  names.reserve(table.row_order.size());
  for (std::size_t k = 0; k < table.row_order.size(); ++k) {
    names.push_back(escaped_name(k < table.column_keys.size() ? table.column_keys[k] : table.row_column(k).name));
    ids.push_back(table.row_column(k).id);
  }
  make_keys_distinct(names, ids);
  return names;
}

std::vector<ArrowColumn> plan_columns(const TableInfo& table, const ArrowTableOptions& options) {
  std::vector<std::string> names = field_names(table);
  std::vector<ArrowColumn> columns;
  if (!options.order.empty()) {
    for (const std::size_t k : options.order) {
      if (k < names.size()) columns.push_back(table_column(table, options, k, names[k]));
    }
  } else {
    for (std::size_t k = 0; k < table.row_order.size(); ++k) {
      if (options.wanted.empty() || options.wanted[k]) columns.push_back(table_column(table, options, k, names[k]));
    }
  }
  if (options.deleted_marker) {
    std::string key = table.deleted_key.empty() ? "_deleted" : table.deleted_key;
    while (std::find(names.begin(), names.end(), key) != names.end()) key.insert(key.begin(), '_');
    ArrowColumn marker;
    marker.kind = ArrowKind::Bool;
    marker.deleted_marker = true;
    marker.name = std::move(key);
    marker.metadata = encode_metadata({{"pagewright.marker", "deleted"}});
    columns.push_back(std::move(marker));
  }
  return columns;
}

const char* arrow_format(ArrowKind kind) noexcept {
  switch (kind) {
    case ArrowKind::Bool:
      return "b";
    case ArrowKind::U8:
      return "C";
    case ArrowKind::I16:
      return "s";
    case ArrowKind::U16:
      return "S";
    case ArrowKind::I32:
      return "i";
    case ArrowKind::U32:
      return "I";
    case ArrowKind::I64:
      return "l";
    case ArrowKind::U64:
      return "L";
    case ArrowKind::F32:
      return "f";
    case ArrowKind::F64:
      return "g";
    case ArrowKind::Timestamp:
      return "tsu:UTC";
    case ArrowKind::Utf8:
      return "u";
    case ArrowKind::Binary:
      return "z";
  }
  return "z";
}

std::size_t fixed_width(ArrowKind kind) noexcept {
  switch (kind) {
    case ArrowKind::U8:
      return 1;
    case ArrowKind::I16:
    case ArrowKind::U16:
      return 2;
    case ArrowKind::I32:
    case ArrowKind::U32:
    case ArrowKind::F32:
      return 4;
    case ArrowKind::I64:
    case ArrowKind::U64:
    case ArrowKind::F64:
    case ArrowKind::Timestamp:
      return 8;
    default:
      return 0;
  }
}

}  // namespace pw::columnar
