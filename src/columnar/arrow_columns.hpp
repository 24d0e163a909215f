// The Arrow type of each column of a table: chosen once from the catalog (type code, multi-valued flag, the
// typed view and forced timestamp readings), with the field name and metadata the schema carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../types/typed_value.hpp"

namespace pw::columnar {

enum class ArrowKind : std::uint8_t { Bool, U8, I16, U16, I32, U32, I64, U64, F32, F64, Timestamp, Utf8, Binary };

struct ArrowColumn {
  std::size_t position = 0;  // index into Row::values
  ArrowKind kind = ArrowKind::Binary;
  bool list = false;     // a multi-valued column of the typed view: a list of `kind`
  std::string name;      // the column name as UTF-8 (malformed bytes and NULs replaced by U+FFFD)
  std::string metadata;  // Arrow metadata encoding: column id, type name, codepage of text columns
};

struct ArrowTableOptions {
  bool typed = true;
  std::vector<bool> wanted;                // by row position; empty: every column
  std::vector<TimestampReading> readings;  // by row position; empty: the automatic reading
};

// The columns of the stream, in row order, left out those not wanted.
std::vector<ArrowColumn> plan_columns(const TableInfo& table, const ArrowTableOptions& options);

// The format string of the C data interface ("b", "C", "s", ..., "tsu:UTC", "u", "z").
const char* arrow_format(ArrowKind kind) noexcept;

// Fixed width in bytes of a kind's values (0 for Bool, which is packed in bits, and the variable kinds).
std::size_t fixed_width(ArrowKind kind) noexcept;

inline bool is_variable(ArrowKind kind) noexcept { return kind == ArrowKind::Utf8 || kind == ArrowKind::Binary; }

// The Arrow metadata encoding of key/value pairs: an int32 count, then each key and value as an int32 length
// and its bytes (native byte order, which the interface prescribes).
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace pw::columnar
