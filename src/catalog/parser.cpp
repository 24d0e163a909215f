#include "parser.hpp"

#include <algorithm>
#include <unordered_map>

#include "../btree/page_entries.hpp"
#include "../database.hpp"
#include "../page/branch.hpp"
#include "../page/leaf.hpp"

namespace pw {
namespace {

// Deeper than any real B-tree; bounds the recursion on crafted files.
constexpr unsigned kMaxCatalogDepth = 64;
constexpr std::uint32_t kHighestColumnType = 18;
constexpr std::size_t kDefaultValueVariableIndex = 3;  // variable column 131
constexpr std::size_t kKeyFieldsVariableIndex = 4;     // variable column 132: 4 bytes per key column
constexpr std::size_t kKeyFieldSize = 4;               // u16 key-field flags, u16 column id

// Fixed columns of a catalog record (after the 4-byte record header): ObjidTable, Type, Id, ColtypOrPgnoFDP,
// SpaceUsage, Flags, PagesOrLocale.
namespace field {
constexpr std::size_t kObjectId = 4;
constexpr std::size_t kType = 8;
constexpr std::size_t kId = 10;
constexpr std::size_t kColumnTypeOrRootPage = 14;
constexpr std::size_t kSpaceUsage = 18;
constexpr std::size_t kFlags = 22;
constexpr std::size_t kCodepageOrLocale = 26;
constexpr std::size_t kEndOfId = 14;
constexpr std::size_t kEndOfSpaceUsage = 22;
constexpr std::size_t kEndOfLocale = 30;
}  // namespace field

// Value of variable column 128 + index of a catalog record, or nothing when absent or malformed.
std::optional<Bytes> catalog_variable_value(Bytes data, std::size_t index) {
  const auto last_variable_id = read_u8(data, 1);
  const auto var_start = read_u16le(data, 2);
  if (!last_variable_id || !var_start || *last_variable_id < 128) return std::nullopt;
  const std::size_t count = *last_variable_id - 127u;
  if (index >= count) return std::nullopt;
  const auto end_word = read_u16le(data, *var_start + 2 * index);
  if (!end_word || (*end_word & 0x8000)) return std::nullopt;
  std::size_t start = 0;
  if (index > 0) {
    const auto prev = read_u16le(data, *var_start + 2 * (index - 1));
    if (!prev) return std::nullopt;
    start = *prev & 0x7FFF;
  }
  const std::size_t end = *end_word & 0x7FFF;
  const std::size_t base = *var_start + 2 * count;
  if (end < start || base + end > data.size()) return std::nullopt;
  return data.subspan(base + start, end - start);
}

}  // namespace

Result<Catalog> CatalogParser::load(std::uint32_t root_page) {
  visited_.clear();
  auto root = db_.read_page(root_page);
  if (!root) return std::move(root).error();
  Pending pending;
  if (auto status = walk(root_page, root->object_id(), pending, 0); !status) return std::move(status).error();

  Catalog catalog;
  catalog.counts = pending.counts;
  catalog.deleted = std::move(pending.deleted);
  std::unordered_map<std::uint32_t, std::string> id_to_name;
  for (auto& rec : pending.live) {
    if (rec.record_type != kCatalogTypeTable) continue;
    id_to_name[rec.record_id] = rec.name;
    TableInfo table = TableInfo::create(rec.name, rec.father_data_page_or_column_type, rec.space_usage);
    table.object_id = rec.record_id;
    catalog.tables.insert_or_assign(rec.name, std::move(table));
  }
  for (auto& rec : pending.live) {
    if (rec.record_type == kCatalogTypeTable) continue;
    auto name_it = id_to_name.find(rec.object_id);
    if (name_it == id_to_name.end()) continue;
    TableInfo* table = catalog.tables.find(name_it->second);
    if (!table) continue;
    switch (rec.record_type) {
      case kCatalogTypeColumn: {
        ColumnInfo col;
        col.name = rec.name;
        col.codepage = rec.codepage_or_locale;
        col.column_type = rec.father_data_page_or_column_type;
        col.id = rec.record_id;
        col.space_usage = rec.space_usage;
        col.flags = rec.flags;
        col.default_value = std::move(rec.default_value);
        // Keyed by column id: two columns of one name are two columns, each decoded at its own place.
        table->columns.insert_or_assign(std::string(reinterpret_cast<const char*>(&col.id), sizeof col.id),
                                        std::move(col));
        break;
      }
      case kCatalogTypeIndex:
        table->indexes.insert_or_assign(
            rec.name, IndexInfo{rec.name, rec.father_data_page_or_column_type, rec.record_id, rec.space_usage,
                                rec.flags, rec.codepage_or_locale, std::move(rec.key_columns)});
        break;
      case kCatalogTypeLongValue:
        table->long_values.insert_or_assign(
            rec.name, LongValueInfo{rec.name, rec.father_data_page_or_column_type, rec.record_id, rec.space_usage});
        break;
      default:
        break;
    }
  }
  for (auto& entry : catalog.tables) entry.second.finalize();
  return catalog;
}

Status CatalogParser::walk(std::uint32_t page_number, std::uint32_t object_id, Pending& out, unsigned depth) {
  // A page reached twice (a cycle or a shared child) is walked once; excessive depth ends that branch.
  if (depth > kMaxCatalogDepth) return ok_status();
  if (!visited_.insert(page_number).second) {
    ++out.counts.loops;
    return ok_status();
  }
  auto page = db_.read_page(page_number);
  if (!page) return std::move(page).error();
  if (page->object_id() != object_id) {  // a link into another tree
    ++out.counts.foreign_pages;
    return ok_status();
  }
  PageEntries entries(*page, db_.format_version(), db_.format_revision(), db_.page_size());
  const bool large = entries.large_page_mode();
  NodeEntry node;
  if (page->is_leaf()) {
    if (!page->is_plain_leaf()) return ok_status();
    while (entries.next(node, out.counts)) {
      auto entry = LeafEntry::try_parse(node.flags, node.bytes, large);
      if (!entry) {
        ++out.counts.bad_entries;
        continue;
      }
      auto record = parse_record(entry->data);
      if (!record) {
        // Pages up to 8 KiB hold the catalogs of older engines, where a bad record fails the open.
        if (db_.page_size() <= 8192) return std::move(record).error();
        ++out.counts.bad_entries;
        continue;
      }
      if (!*record) continue;
      (*record)->page = page_number;
      auto& list = (node.flags & kTagFlagDeleted) ? out.deleted : out.live;
      list.push_back(std::move(**record));
    }
    return ok_status();
  }
  while (entries.next(node, out.counts)) {
    auto entry = BranchEntry::parse(node.flags, node.bytes, db_.max_child_page(), large);
    if (!entry) {
      ++out.counts.bad_entries;
      continue;
    }
    if (auto status = walk(entry->child_page, object_id, out, depth + 1); !status) return status;
  }
  return ok_status();
}

Result<std::optional<CatalogRecord>> CatalogParser::parse_record(Bytes data) {
  if (data.size() < 4) return std::optional<CatalogRecord>{};
  if (data.size() < field::kEndOfId) return EseError::invalid_catalog_entry();
  const std::uint16_t record_type = read_u16le(data, field::kType).value_or(0);
  if (record_type < kCatalogTypeTable || record_type > kCatalogTypeLastKnown)
    return EseError::unsupported_catalog_type(record_type);
  if (record_type >= kCatalogTypeCallback) return std::optional<CatalogRecord>{};
  const bool wide = record_type == kCatalogTypeColumn || record_type == kCatalogTypeIndex;
  if (data.size() < (wide ? field::kEndOfLocale : field::kEndOfSpaceUsage)) return EseError::invalid_catalog_entry();
  CatalogRecord rec;
  rec.object_id = read_u32le(data, field::kObjectId).value_or(0);
  rec.record_type = record_type;
  rec.record_id = read_u32le(data, field::kId).value_or(0);
  rec.father_data_page_or_column_type = read_u32le(data, field::kColumnTypeOrRootPage).value_or(0);
  rec.space_usage = read_u32le(data, field::kSpaceUsage).value_or(0);
  if (record_type == kCatalogTypeColumn && rec.father_data_page_or_column_type > kHighestColumnType)
    return EseError::unsupported_column_type(rec.father_data_page_or_column_type);

  const std::uint8_t last_variable_id = data[1];
  const std::size_t var_start = read_u16le(data, 2).value_or(0);
  const std::size_t var_count = last_variable_id >= 128 ? last_variable_id - 127u : last_variable_id;
  const auto name_len = read_u16le(data, var_start);
  if (!name_len) return EseError::invalid_catalog_entry();
  const std::size_t name_start = var_start + 2 * var_count;
  if (name_start > data.size() || data.size() - name_start < *name_len) return EseError::invalid_catalog_entry();
  rec.name = to_byte_string(data.subspan(name_start, *name_len));
  if (wide) {
    rec.flags = read_u32le(data, field::kFlags).value_or(0);
    rec.codepage_or_locale = read_u32le(data, field::kCodepageOrLocale).value_or(0);
  }
  if (record_type == kCatalogTypeColumn && (rec.flags & column_flag::kHasDefault)) {
    if (auto def = catalog_variable_value(data, kDefaultValueVariableIndex)) rec.default_value = to_byte_string(*def);
  }
  if (record_type == kCatalogTypeIndex) {
    // Other layouts of older engines are not a multiple of 4 bytes: their key columns stay unknown.
    if (auto keys = catalog_variable_value(data, kKeyFieldsVariableIndex); keys && keys->size() % kKeyFieldSize == 0) {
      rec.key_columns.emplace();
      for (std::size_t at = 0; at < keys->size(); at += kKeyFieldSize)
        rec.key_columns->push_back(read_u16le(*keys, at + 2).value_or(0));
    }
  }
  return std::optional<CatalogRecord>{std::move(rec)};
}

}  // namespace pw
