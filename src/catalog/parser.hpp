// CatalogParser: walks the MSysObjects tree depth-first and builds the table registry from its records.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "../btree/walk_counts.hpp"
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
// Records of the retired streaming-file feature, still present in some Active Directory databases.
inline constexpr std::uint16_t kCatalogTypeLastKnown = 7;

// One catalog record: a table, column, index or long-value tree definition.
struct CatalogRecord {
  std::uint32_t object_id = 0;  // the table the record belongs to
  std::string name;
  std::uint16_t record_type = 0;
  std::uint32_t record_id = 0;
  std::uint32_t father_data_page_or_column_type = 0;
  std::uint32_t space_usage = 0;
  std::uint32_t flags = 0;
  std::uint32_t codepage_or_locale = 0;
  std::optional<std::string> default_value;
  std::optional<std::string> template_table;  // tables: the template table it was created from
  std::optional<std::vector<std::uint32_t>> key_columns;  // indexes
  std::uint32_t page = 0;                                 // the catalog page that holds it
};

// What the catalog walk could not read or had to change: a catalog is read as far as it goes, and what it
// lost or renamed is said here rather than failing the open.
struct CatalogDamage {
  WalkCounts counts;                  // entries and pages the walk passed over
  std::optional<EseError> error;      // the first page that could not be read (its subtree is lost)
  std::map<std::uint32_t, std::uint64_t> skipped_records;  // by record type: records that could not be read
  std::vector<std::string> notes;     // text; table and column names in it are their raw bytes

  bool any() const noexcept { return counts.total() != 0 || error || !skipped_records.empty() || !notes.empty(); }
};

// The definitions the catalog walk found: live ones become the registry; deleted ones (entries whose tag
// carries the deleted flag: dropped tables and columns not yet cleaned away) are kept apart for recovery.
struct Catalog {
  OrderedMap<TableInfo> tables;
  std::vector<CatalogRecord> deleted;
  CatalogDamage damage;
};

class CatalogParser {
 public:
  explicit CatalogParser(const Database& db) : db_(db) {}

  // Walks the tree from root_page and attaches the column, index and long-value records to their tables.
  Result<Catalog> load(std::uint32_t root_page);

  // The record held in a catalog entry's data; nothing for data too short to be a record and for the types
  // that describe no table (callbacks and the streaming-file records). A record of a type no engine writes
  // is UnsupportedCatalogType; one too short for its fields or name, InvalidCatalogEntry.
  static Result<std::optional<CatalogRecord>> parse_record(Bytes data);

 private:
  struct Pending {
    std::vector<CatalogRecord> live;  // in catalog order
    std::vector<CatalogRecord> deleted;
    CatalogDamage damage;
  };
  // A child page that cannot be read costs its subtree (counted, the first error kept), not the walk.
  void walk(std::uint32_t page_number, std::uint32_t object_id, Pending& out, unsigned depth);

  const Database& db_;
  std::unordered_set<std::uint32_t> visited_;
};

}  // namespace pw
