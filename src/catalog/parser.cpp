#include "parser.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "column_keys.hpp"

#include "../btree/page_entries.hpp"
#include "../database.hpp"
#include "../page/branch.hpp"
#include "../page/leaf.hpp"

namespace pw {
namespace {

// Deeper than any real B-tree; bounds the recursion on crafted files.
constexpr unsigned kMaxCatalogDepth = 64;
constexpr std::uint32_t kHighestColumnType = 18;
constexpr std::size_t kTemplateTableVariableIndex = 2;  // variable column 130
constexpr std::size_t kDefaultValueVariableIndex = 3;   // variable column 131
constexpr std::size_t kKeyFieldsVariableIndex = 4;      // variable column 132: 4 bytes per key column
constexpr std::size_t kKeyFieldSize = 4;                // u16 key-field flags, u16 column id
constexpr std::size_t kNoteItems = 20;                  // columns named in one note; the rest are counted
constexpr std::size_t kMaxNotes = 100;                  // notes kept; the rest are counted in the last

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

std::string shared_names_note(const TableInfo& table) {
  std::unordered_map<std::string, std::size_t> holders;
  for (std::size_t k = 0; k < table.row_order.size(); ++k) ++holders[table.row_column(k).name];
  std::string note = "table '" + table.name + "': columns that share a name are keyed";
  const char* sep = " ";
  std::size_t listed = 0, unlisted = 0;
  for (std::size_t k = 0; k < table.row_order.size(); ++k) {
    const ColumnInfo& column = table.row_column(k);
    if (holders[column.name] < 2) continue;
    if (listed == kNoteItems) {
      ++unlisted;
      continue;
    }
    note += sep + ("'" + column.name + "' (id " + std::to_string(column.id) + ") as '" + table.column_keys[k] + "'");
    sep = ", ";
    ++listed;
  }
  if (unlisted) note += " and " + std::to_string(unlisted) + " more";
  return note + "; the JSON Lines of export_table and export_all keep only the last of each name";
}

void register_tables(std::vector<CatalogRecord>& live, Catalog& catalog) {
  // Two table records of one name are two tables: the last in catalog order keeps the name (the one readers
  // have always found under it), each earlier one is keyed name#object-id.
  std::vector<const CatalogRecord*> table_records;
  std::vector<std::string> keys;
  std::vector<std::uint32_t> object_ids;
  for (const auto& rec : live) {
    if (rec.record_type != kCatalogTypeTable) continue;
    table_records.push_back(&rec);
    keys.push_back(rec.name);
    object_ids.push_back(rec.record_id);
  }
  make_keys_distinct(keys, object_ids);
  std::unordered_map<std::uint32_t, std::string> id_to_key;
  for (std::size_t k = 0; k < table_records.size(); ++k) {
    const CatalogRecord& rec = *table_records[k];
    if (keys[k] != rec.name) {
      catalog.damage.notes.push_back("two table records share the name '" + rec.name + "': the table of object id " +
                                     std::to_string(rec.record_id) + " (root page " +
                                     std::to_string(rec.father_data_page_or_column_type) + ") is listed as '" +
                                     keys[k] + "'");
    }
    if (rec.template_table) {
      // A derived table's records begin with the template's fixed and variable columns, and the template's
      // tagged columns are marked derived in the tagged directory; the template's columns are not joined in.
      catalog.damage.notes.push_back("table '" + keys[k] + "' is derived from the template table '" +
                                     *rec.template_table +
                                     "': the columns it takes from the template are not read, and its own "
                                     "fixed and variable columns may be read from the wrong place");
    }
    id_to_key[rec.record_id] = keys[k];
    TableInfo table = TableInfo::create(keys[k], rec.father_data_page_or_column_type, rec.space_usage);
    table.object_id = rec.record_id;
    catalog.tables.insert_or_assign(keys[k], std::move(table));
  }

  std::map<std::uint32_t, std::uint64_t> orphans;  // object id -> records naming it
  for (auto& rec : live) {
    if (rec.record_type == kCatalogTypeTable) continue;
    auto key_it = id_to_key.find(rec.object_id);
    TableInfo* table = key_it == id_to_key.end() ? nullptr : catalog.tables.find(key_it->second);
    if (!table) {
      ++orphans[rec.object_id];
      continue;
    }
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
        if (col.column_type > kHighestColumnType) {
          catalog.damage.notes.push_back("table '" + table->name + "': column '" + col.name + "' (id " +
                                         std::to_string(col.id) + ") has type code " +
                                         std::to_string(col.column_type) +
                                         ", which no engine writes: its values are given as their stored bytes");
        }
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
  for (const auto& [object_id, count] : orphans) {
    catalog.damage.notes.push_back(std::to_string(count) + " column, index or long-value record" +
                                   (count == 1 ? " names" : "s name") + " object id " + std::to_string(object_id) +
                                   ", which no table record has: not attached to any table");
  }
  for (auto& entry : catalog.tables) {
    entry.second.finalize();
    if (entry.second.has_shared_column_names()) catalog.damage.notes.push_back(shared_names_note(entry.second));
  }
  auto& notes = catalog.damage.notes;
  if (notes.size() > kMaxNotes) {  // a crafted catalog can have a note for every record
    const std::size_t more = notes.size() - (kMaxNotes - 1);
    notes.resize(kMaxNotes - 1);
    notes.push_back("and " + std::to_string(more) + " more notes of the kinds above");
  }
}

}  // namespace

Result<Catalog> CatalogParser::load(std::uint32_t root_page) {
  visited_.clear();
  auto root = db_.read_page(root_page);
  if (!root) return std::move(root).error();
  Pending pending;
  walk(root_page, root->object_id(), pending, 0);
  const bool any_table = std::any_of(pending.live.begin(), pending.live.end(),
                                     [](const CatalogRecord& rec) { return rec.record_type == kCatalogTypeTable; });
  // Nothing to show: the walk lost every table record. The error says why better than an empty registry.
  if (pending.damage.error && !any_table) return std::move(*pending.damage.error);

  Catalog catalog;
  catalog.damage = std::move(pending.damage);
  catalog.deleted = std::move(pending.deleted);
  register_tables(pending.live, catalog);
  return catalog;
}

void CatalogParser::walk(std::uint32_t page_number, std::uint32_t object_id, Pending& out, unsigned depth) {
  // A page reached twice (a cycle or a shared child) is walked once; excessive depth ends that branch.
  if (depth > kMaxCatalogDepth) return;
  if (!visited_.insert(page_number).second) {
    ++out.damage.counts.loops;
    return;
  }
  auto page = db_.read_page(page_number);
  if (!page) {
    ++out.damage.counts.unreadable_pages;
    if (!out.damage.error) out.damage.error = std::move(page).error();
    return;
  }
  if (page->object_id() != object_id) {  // a link into another tree
    ++out.damage.counts.foreign_pages;
    return;
  }
  PageEntries entries(*page, db_.format_version(), db_.format_revision(), db_.page_size());
  const bool large = entries.large_page_mode();
  NodeEntry node;
  if (page->is_leaf()) {
    if (!page->is_plain_leaf()) return;
    while (entries.next(node, out.damage.counts)) {
      auto entry = LeafEntry::try_parse(node.flags, node.bytes, large);
      if (!entry) {
        ++out.damage.counts.bad_entries;
        continue;
      }
      auto record = parse_record(entry->data);
      if (!record) {
        // One record nobody can read costs that record: counted by its type when it has one.
        if (auto type = read_u16le(entry->data, field::kType); type && entry->data.size() >= field::kEndOfId) {
          ++out.damage.skipped_records[*type];
        } else {
          ++out.damage.counts.bad_entries;
        }
        continue;
      }
      if (!*record) continue;
      (*record)->page = page_number;
      auto& list = (node.flags & kTagFlagDeleted) ? out.deleted : out.live;
      list.push_back(std::move(**record));
    }
    return;
  }
  while (entries.next(node, out.damage.counts)) {
    auto entry = BranchEntry::parse(node.flags, node.bytes, db_.max_child_page(), large);
    if (!entry) {
      ++out.damage.counts.bad_entries;
      continue;
    }
    walk(entry->child_page, object_id, out, depth + 1);
  }
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
  if (record_type == kCatalogTypeTable) {
    if (auto name = catalog_variable_value(data, kTemplateTableVariableIndex); name && !name->empty())
      rec.template_table = to_byte_string(*name);
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
