#include "file_extent.hpp"

#include <unordered_set>

#include "../btree/page_chain.hpp"
#include "../database.hpp"
#include "../page/branch.hpp"

namespace pw {
namespace {

// A space header: cpgPrimary (u32), parent root page (u32), flags (u32), then the owned-extent tree's root.
constexpr std::size_t kSpaceHeaderSize = 16;
constexpr std::size_t kSpaceFlagsOffset = 8;
constexpr std::size_t kOwnedExtentRootOffset = 12;
constexpr std::uint8_t kMultipleExtents = 0x01;
constexpr std::size_t kExtentKeySize = 4;  // owned extents: the big-endian last page, no pool byte
constexpr unsigned kMaxSpaceTreeDepth = 8;

std::uint32_t big_endian_u32(const std::string& key) {
  std::uint32_t v = 0;
  for (unsigned char c : key) v = (v << 8) | c;
  return v;
}

// The largest extent key of a space-tree leaf; nothing when it holds none.
std::optional<std::uint32_t> last_extent_key(const Database& db, const Page& page) {
  PageEntries entries(page, db.format_version(), db.format_revision(), db.page_size());
  WalkCounts ignored;
  LeafItem item;
  item.key_prefix = entries.key_prefix();
  std::string key;
  std::optional<std::uint32_t> last;
  while (entries.next(item.node, ignored)) {
    auto entry = LeafEntry::try_parse(item.node.flags, item.node.bytes, entries.large_page_mode());
    if (!entry) continue;
    item.entry = *entry;
    full_key(item, key);
    if (key.size() != kExtentKeySize) continue;
    const std::uint32_t page_number = big_endian_u32(key);
    if (!last || page_number > *last) last = page_number;
  }
  return last;
}

void consider(FileExtent& extent, std::uint32_t page, const std::string& what) {
  if (page <= extent.last_page && !extent.named_by.empty()) return;
  extent.last_page = page;
  extent.named_by = what;
}

// The root page of a tree and the last page it owns.
void consider_tree(const Database& db, FileExtent& extent, std::uint32_t root, const std::string& what) {
  consider(extent, root, "the root page of " + what);
  if (root > extent.file_pages) return;  // its space header is gone with it
  if (const auto last = last_owned_page(db, root)) consider(extent, *last, "the owned extents of " + what);
}

}  // namespace

std::optional<std::uint32_t> last_owned_page(const Database& db, std::uint32_t root_page) {
  auto root = db.read_page(root_page);
  if (!root) return std::nullopt;
  const PageEntries root_entries(*root, db.format_version(), db.format_revision(), db.page_size());
  const Bytes header = root_entries.key_prefix();
  if (header.size() < kSpaceHeaderSize || !(header[kSpaceFlagsOffset] & kMultipleExtents)) return std::nullopt;
  std::uint32_t page_number = read_u32le(header, kOwnedExtentRootOffset).value_or(0);
  std::unordered_set<std::uint32_t> path;
  for (unsigned depth = 0; depth <= kMaxSpaceTreeDepth && path.insert(page_number).second; ++depth) {
    auto page = db.read_page(page_number);
    if (!page || page->object_id() != root->object_id() || !(page->page_flags() & page_flag::kSpaceTree))
      return std::nullopt;
    if (page->is_leaf()) return last_extent_key(db, *page);
    // A branch: its last entry leads to the extents with the highest keys.
    PageEntries entries(*page, db.format_version(), db.format_revision(), db.page_size());
    WalkCounts ignored;
    NodeEntry node;
    std::optional<std::uint32_t> child;
    while (entries.next(node, ignored)) {
      if (auto branch = BranchEntry::parse(node.flags, node.bytes, db.max_child_page(), entries.large_page_mode()))
        child = branch->child_page;
    }
    if (!child) return std::nullopt;
    page_number = *child;
  }
  return std::nullopt;
}

FileExtent file_extent(const Database& db) {
  FileExtent extent;
  extent.file_pages = db.total_pages();
  if (const auto last = db.stated_last_page()) consider(extent, *last, "the database's space tree");
  for (const auto& [key, table] : db.tables()) {
    const std::string of_table = "table '" + key + "'";
    consider_tree(db, extent, table.father_data_page, of_table);
    for (const auto& entry : table.long_values) consider_tree(db, extent, entry.second.father_data_page,
                                                               "the long-value tree of " + of_table);
    for (const auto& entry : table.indexes) {
      // The primary index is the data tree itself.
      if (entry.second.father_data_page == table.father_data_page) continue;
      consider_tree(db, extent, entry.second.father_data_page, "index '" + entry.first + "' of " + of_table);
    }
  }
  return extent;
}

}  // namespace pw
