// The registry's descriptions of tables, columns, indexes and long-value trees, as the catalog gives them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ordered_map.hpp"

namespace pw {

namespace column_flag {
inline constexpr std::uint32_t kNotNull = 0x0001;
inline constexpr std::uint32_t kMultiValued = 0x0008;
inline constexpr std::uint32_t kHasDefault = 0x0010;
inline constexpr std::uint32_t kCompressed = 0x1000;
inline constexpr std::uint32_t kEncrypted = 0x2000;  // its values are encrypted (only long-value columns)
}  // namespace column_flag

struct ColumnInfo {
  std::string name;
  std::optional<std::uint32_t> codepage;
  std::uint32_t column_type = 0;
  std::uint32_t id = 0;
  std::uint32_t space_usage = 0;
  std::uint32_t flags = 0;
  // DefaultValue of the catalog record, kept when the column has the default-value flag.
  std::optional<std::string> default_value;
};

namespace index_flag {
inline constexpr std::uint32_t kUnique = 0x0001;
inline constexpr std::uint32_t kPrimary = 0x0020;
}  // namespace index_flag

struct IndexInfo {
  std::string name;
  std::uint32_t father_data_page = 0;
  std::uint32_t object_id = 0;  // of the index's tree (the table's own for the primary index)
  std::uint32_t space_usage = 0;
  std::uint32_t flags = 0;
  std::uint32_t locale = 0;
  // Column ids of the key, in key order; nothing when the record's layout of them is not known.
  std::optional<std::vector<std::uint32_t>> key_columns;
};

struct LongValueInfo {
  std::string name;
  std::uint32_t father_data_page = 0;
  std::uint32_t object_id = 0;  // of the long-value tree
  std::uint32_t space_usage = 0;
};

struct TableInfo {
  std::string name;
  OrderedMap<ColumnInfo> columns;
  OrderedMap<IndexInfo> indexes;
  OrderedMap<LongValueInfo> long_values;
  std::uint32_t father_data_page = 0;
  std::uint32_t space_usage = 0;
  // The table record's Id: what its column, index and long-value records name, and the object id its data
  // tree's pages and log records carry.
  std::uint32_t object_id = 0;
  // Positions in `columns`, stable-sorted by column id: the order of a row. Built by finalize().
  std::vector<std::size_t> row_order;
  // The output key of each column in row order (distinct_column_keys), and of the deleted-row marker.
  std::vector<std::string> column_keys;
  std::string deleted_key;

  static TableInfo create(std::string name, std::uint32_t father_data_page, std::uint32_t space_usage) {
    TableInfo t;
    t.name = std::move(name);
    t.father_data_page = father_data_page;
    t.space_usage = space_usage;
    return t;
  }

  // Computes the derived row order and keys once the columns are attached.
  void finalize();

  // Whether two columns share a name (their keys then differ from their names).
  bool has_shared_column_names() const;

  const ColumnInfo& row_column(std::size_t i) const { return columns.at(row_order[i]).second; }
};

}  // namespace pw
