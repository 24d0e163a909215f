#include "parser.hpp"

#include <algorithm>

#include "../database.hpp"
#include "../page/branch.hpp"
#include "../page/leaf.hpp"
#include "../page/tag.hpp"

namespace pw {
namespace {

// Deeper than any real B-tree; bounds the recursion on crafted files.
constexpr unsigned kMaxCatalogDepth = 64;
constexpr std::uint32_t kHighestColumnType = 18;
constexpr std::size_t kDefaultValueVariableIndex = 3;  // variable column 131

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

Status CatalogParser::load(std::uint32_t root_page, OrderedMap<TableInfo>& tables) {
  CatalogContainers c;
  visited_.clear();
  if (auto status = parse_catalog_page(root_page, c); !status) return status;
  for (auto& rec : c.deferred) {
    auto name_it = c.id_to_name.find(rec.object_id);
    if (name_it == c.id_to_name.end()) continue;
    TableInfo* table = c.tables.find(name_it->second);
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
        table->columns.insert_or_assign(rec.name, std::move(col));
        break;
      }
      case kCatalogTypeIndex:
        table->indexes.insert_or_assign(rec.name, IndexInfo{rec.name, rec.father_data_page_or_column_type,
                                                            rec.space_usage, rec.flags, rec.codepage_or_locale});
        break;
      case kCatalogTypeLongValue:
        table->long_values.insert_or_assign(
            rec.name, LongValueInfo{rec.name, rec.father_data_page_or_column_type, rec.space_usage});
        break;
      default:
        break;
    }
  }
  for (auto& entry : c.tables) entry.second.finalize();
  tables = std::move(c.tables);
  return ok_status();
}

Status CatalogParser::parse_catalog_page(std::uint32_t page_number, CatalogContainers& out) {
  return walk(page_number, out, 0);
}

Status CatalogParser::walk(std::uint32_t page_number, CatalogContainers& out, unsigned depth) {
  // A page reached twice (a cycle or a shared child) is walked once; excessive depth ends that branch.
  if (depth > kMaxCatalogDepth || !visited_.insert(page_number).second) return ok_status();
  auto page = db_.read_page(page_number);
  if (!page) return std::move(page).error();
  const TagExtractor tags(*page, db_.format_version(), db_.format_revision(), db_.page_size());
  // Tags whose 4 bytes lie outside the page cannot be read: a tag count far above what the page holds must
  // not cost a pass over every number up to it.
  const auto count = static_cast<std::uint16_t>(std::min<std::size_t>(tags.tag_count(), page->data.size() / 4));
  if (count == 0) return ok_status();
  const bool leaf = page->is_leaf();
  const bool large = tags.large_page_mode();

  if (leaf && page->is_plain_leaf()) {
    for (std::uint16_t t = 0; t < count; ++t) {
      auto tag = tags.extract_entry(t);
      if (!tag || tag->data.empty()) continue;
      auto entry = LeafEntry::parse(tag->flags, tag->data, large);
      if (!entry) continue;
      if (auto status = process_catalog_entry(entry->data, out); !status) {
        if (db_.page_size() <= 8192) return status;
      }
    }
  }
  if (!leaf) {
    for (std::uint16_t t = 0; t < count; ++t) {
      auto tag = tags.extract_entry(t);
      if (!tag || tag->data.empty()) continue;
      auto entry = BranchEntry::parse(tag->flags, tag->data, db_.max_child_page(), large);
      if (!entry) continue;
      if (auto status = walk(entry->child_page, out, depth + 1); !status) return status;
    }
  }
  return ok_status();
}

Status CatalogParser::process_catalog_entry(Bytes data, CatalogContainers& out) const {
  if (data.size() < 4) return ok_status();
  if (data.size() < 14) return EseError::invalid_catalog_entry();
  const std::uint32_t object_id = *read_u32le(data, 4);
  const std::uint16_t record_type = *read_u16le(data, 8);
  const std::uint32_t record_id = *read_u32le(data, 10);
  if (record_type < kCatalogTypeTable || record_type > kCatalogTypeCallback)
    return EseError::unsupported_catalog_type(record_type);
  if (record_type == kCatalogTypeCallback) return EseError::callback_not_supported();
  const bool wide = record_type == kCatalogTypeColumn || record_type == kCatalogTypeIndex;
  if (data.size() < (wide ? 30u : 22u)) return EseError::invalid_catalog_entry();
  const std::uint32_t page_or_type = *read_u32le(data, 14);
  const std::uint32_t space_usage = *read_u32le(data, 18);
  if (record_type == kCatalogTypeColumn && page_or_type > kHighestColumnType)
    return EseError::unsupported_column_type(page_or_type);

  const std::uint8_t last_variable_id = data[1];
  const std::size_t var_start = *read_u16le(data, 2);
  const std::size_t var_count = last_variable_id >= 128 ? last_variable_id - 127u : last_variable_id;
  const auto name_len = read_u16le(data, var_start);
  if (!name_len) return EseError::invalid_catalog_entry();
  const std::size_t name_start = var_start + 2 * var_count;
  if (name_start > data.size() || data.size() - name_start < *name_len) return EseError::invalid_catalog_entry();
  std::string name = to_byte_string(data.subspan(name_start, *name_len));

  if (record_type == kCatalogTypeTable) {
    out.id_to_name[record_id] = name;
    out.tables.insert_or_assign(name, TableInfo::create(name, page_or_type, space_usage));
    return ok_status();
  }
  CatalogDataDefinitionEntry rec;
  rec.object_id = object_id;
  rec.name = std::move(name);
  rec.record_type = record_type;
  rec.record_id = record_id;
  rec.father_data_page_or_column_type = page_or_type;
  rec.space_usage = space_usage;
  if (wide) {
    rec.flags = *read_u32le(data, 22);
    rec.codepage_or_locale = *read_u32le(data, 26);
  }
  if (record_type == kCatalogTypeColumn && (rec.flags & column_flag::kHasDefault)) {
    if (auto def = catalog_variable_value(data, kDefaultValueVariableIndex)) rec.default_value = to_byte_string(*def);
  }
  out.deferred.push_back(std::move(rec));
  return ok_status();
}

}  // namespace pw
