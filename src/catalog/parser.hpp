// CatalogParser: walks the MSysObjects tree depth-first and builds the table registry from its records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../result.hpp"
#include "../utils/bytes.hpp"
#include "table_info.hpp"

namespace pw {

class Database;

inline constexpr std::uint16_t kCatalogTypeTable = 1;
inline constexpr std::uint16_t kCatalogTypeColumn = 2;
inline constexpr std::uint16_t kCatalogTypeIndex = 3;
inline constexpr std::uint16_t kCatalogTypeLongValue = 4;
inline constexpr std::uint16_t kCatalogTypeCallback = 5;

// A column, index or long-value record, kept until every table record has been seen.
struct CatalogDataDefinitionEntry {
  std::uint32_t object_id = 0;
  std::string name;
  std::uint16_t record_type = 0;
  std::uint32_t record_id = 0;
  std::uint32_t father_data_page_or_column_type = 0;
  std::uint32_t space_usage = 0;
  std::uint32_t flags = 0;
  std::uint32_t codepage_or_locale = 0;
  std::optional<std::string> default_value;
};

struct CatalogContainers {
  OrderedMap<TableInfo> tables;
  std::unordered_map<std::uint32_t, std::string> id_to_name;
  std::vector<CatalogDataDefinitionEntry> deferred;
};

class CatalogParser {
 public:
  explicit CatalogParser(const Database& db) : db_(db) {}

  // Walks the tree from root_page and attaches the deferred records to their tables, into `tables`.
  Status load(std::uint32_t root_page, OrderedMap<TableInfo>& tables);

  Status parse_catalog_page(std::uint32_t page_number, CatalogContainers& out);
  Status process_catalog_entry(Bytes data, CatalogContainers& out) const;

 private:
  Status walk(std::uint32_t page_number, CatalogContainers& out, unsigned depth);

  const Database& db_;
  std::unordered_set<std::uint32_t> visited_;
};

}  // namespace pw
