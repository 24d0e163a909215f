#include "table_cursor.hpp"

#include <algorithm>

#include "../database.hpp"
#include "../page/branch.hpp"
#include "../page/leaf.hpp"
#include "../page/tag.hpp"
#include "../record/parser.hpp"

namespace pw {
namespace {

// Deeper than any real B-tree; bounds the descent on crafted files (a cycle is caught earlier).
constexpr unsigned kMaxTreeDepth = 64;

}  // namespace

TableCursor::TableCursor(const Database& db, const TableInfo& table, Page start_page, std::uint32_t start_page_number)
    : db_(&db), table_(&table), page_(start_page), large_(db.large_page_mode()), visited_{start_page_number} {}

Result<bool> TableCursor::next_row(Row& row) {
  for (;;) {
    if (page_.is_plain_leaf()) {
      const TagExtractor tags(page_, db_->format_version(), db_->format_revision(), db_->page_size());
      // Tags from here on cannot be read: past the tag count, or their 4 bytes lie outside the page. A tag
      // count far above what the page holds must not cost a pass over every number up to it.
      const auto end =
          std::min<std::size_t>({page_.header.first_available_page_tag, tags.tag_count(), page_.data.size() / 4});
      while (tag_index_ < end) {
        auto tag = tags.extract_entry(tag_index_++);
        if (!tag) continue;
        auto entry = LeafEntry::parse(tag->flags, tag->data, large_);
        if (!entry) continue;
        decode_record(entry->data, *table_, large_, row);
        if (!row.long_value_refs.empty()) resolve_long_values(row);
        return true;
      }
    }
    const std::uint32_t next = page_.header.next_page;
    if (next == 0 || visited_.count(next)) return false;
    auto page = db_->read_page(next);
    if (!page) return std::move(page).error();
    visited_.insert(next);
    page_ = *page;
    tag_index_ = 1;
  }
}

void TableCursor::resolve_long_values(Row& row) {
  for (const std::size_t pos : row.long_value_refs) {
    ColumnValue& value = row.values[pos];
    const ColumnInfo& column = table_->row_column(pos);
    std::string bytes;
    if (value.bytes.size() >= 4 && !table_->long_values.empty()) {
      if (!long_values_)
        long_values_.emplace(LongValueIndex::build(*db_, table_->long_values.at(0).second.father_data_page));
      if (!long_values_->ok()) continue;  // the tree cannot be read: the reference stays as it is
      const std::uint32_t id = *read_u32le(as_bytes(value.bytes), 0);
      bytes = long_values_->value().gather(id, column);
    }
    value = text_or_binary(as_bytes(bytes), column);
  }
  row.long_value_refs.clear();
}

Result<TableCursor> Database::open_table(const std::string& name) const {
  const TableInfo* table = tables_.find(name);
  if (!table) return EseError::table_not_found(name);
  std::uint32_t page_number = table->father_data_page;
  auto page = read_page(page_number);
  if (!page) return std::move(page).error();
  std::unordered_set<std::uint32_t> seen{page_number};
  const bool large = large_page_mode();
  for (unsigned depth = 0; !page->is_leaf() && depth < kMaxTreeDepth; ++depth) {
    const TagExtractor tags(*page, format_version_, format_revision_, page_size_);
    if (tags.tag_count() < 2) break;
    auto tag = tags.extract_tag(1);
    if (!tag) return std::move(tag).error();
    auto branch = BranchEntry::parse(tag->flags, tag->data, max_child_page(), large);
    if (!branch) return std::move(branch).error();
    if (!seen.insert(branch->child_page).second) break;  // a cycle of child pages: start where we are
    auto child = read_page(branch->child_page);
    if (!child) return std::move(child).error();
    page = std::move(child);
    page_number = branch->child_page;
  }
  return TableCursor(*this, *table, *page, page_number);
}

}  // namespace pw
