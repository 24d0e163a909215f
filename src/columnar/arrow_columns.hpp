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
  std::size_t position = 0;  // index into Row::values (unused by the deleted marker)
  ArrowKind kind = ArrowKind::Binary;
  bool list = false;            // a multi-valued column of the typed view: a list of `kind`
  bool deleted_marker = false;  // not a column: true where the row's entry carries the deleted flag
  std::string name;             // the field name (see field_names)
  std::string metadata;         // Arrow metadata encoding: column id, type name, codepage of text columns
};

struct ArrowTableOptions {
  bool typed = true;
  std::vector<bool> wanted;                // by row position; empty: every column
  std::vector<std::size_t> order;          // row positions in the order asked; empty: row order
  std::vector<TimestampReading> readings;  // by row position; empty: the automatic reading
  bool deleted_marker = false;             // a last, boolean field saying which rows were flagged deleted
};

// The field name of each column in row order: its output key (TableInfo::column_keys) with every byte that is
// not part of well-formed UTF-8, and NUL, written as %XX (Arrow names are UTF-8 text), then made distinct again
// by the keys' own rule, so that no escape can make two fields one.
std::vector<std::string> field_names(const TableInfo& table);

// The columns of the stream: those wanted, in the order asked (else in row order), then the deleted marker
// when the options ask for it, named TableInfo::deleted_key (with "_" prepended while a field holds it).
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
