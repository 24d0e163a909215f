#include "owner_map.hpp"

#include <algorithm>

#include "../database.hpp"
#include "../page/branch.hpp"
#include "../page/tag.hpp"

namespace pw {
namespace {

// Deeper than any real B-tree; together with the visited list it ends descents through crafted loops.
constexpr std::size_t kMaxDescentDepth = 64;

}  // namespace

OwnerMap::OwnerMap(const Database& db) : db_(&db), owner_(static_cast<std::size_t>(db.total_pages()) + 1, 0) {}

OwnerMap OwnerMap::build(const Database& db) {
  OwnerMap map(db);
  const auto& tables = db.tables();
  map.names_.reserve(tables.size());
  for (const auto& entry : tables) {
    const auto index = static_cast<std::uint32_t>(map.names_.size());
    map.names_.push_back(&entry.second.name);
    map.walk_table(entry.second.father_data_page, index);
  }
  return map;
}

const std::string* OwnerMap::owner(std::uint32_t page) const noexcept {
  if (page >= owner_.size() || owner_[page] == 0) return nullptr;
  return names_[owner_[page] - 1];
}

// The page where the leaf-level walk of a tree starts, or 0 when the table is passed over: from the root,
// follow tag 1 of each page that lacks the leaf flag. The descent stops where a page has fewer than 2 tags
// or its tag 1 is not a readable branch entry. An unreadable root or child page ends the table's walk, as
// the walk could only test that page number (which no readable page has) and then fail to read it.
std::uint32_t OwnerMap::descend(std::uint32_t root) const {
  auto page = db_->read_page(root);
  if (!page) return 0;
  const bool large = db_->large_page_mode();
  std::uint32_t path[kMaxDescentDepth + 1];
  std::size_t depth = 0;
  path[depth++] = root;
  while (!page->is_leaf() && depth <= kMaxDescentDepth) {
    const TagExtractor tags(*page, db_->format_version(), db_->format_revision(), db_->page_size());
    if (tags.tag_count() < 2) break;
    auto tag = tags.extract_tag(1);
    if (!tag) break;
    // Large-page entries carry their tag flags in the top bits of the second byte: read them cleared.
    auto branch = BranchEntry::parse(tag->flags, tag->data, db_->max_child_page(), large);
    if (!branch) break;
    const std::uint32_t child = branch->child_page;
    if (std::find(path, path + depth, child) != path + depth) break;  // a loop of child pages
    auto child_page = db_->read_page(child);
    if (!child_page) return 0;
    page = std::move(child_page);
    path[depth++] = child;
  }
  return path[depth - 1];
}

void OwnerMap::walk_table(std::uint32_t root, std::uint32_t table_index) {
  std::uint32_t p = descend(root);
  const std::uint32_t total = db_->total_pages();
  std::uint64_t steps = 0;
  while (p != 0) {
    if (p < owner_.size()) {
      // A page already claimed was reached by an earlier walk (or earlier in this one) that went on along
      // the same next_page links from there, so nothing new lies ahead.
      if (owner_[p] != 0) return;
      owner_[p] = table_index + 1;
    }
    auto page = db_->read_page(p);
    if (!page) return;
    if (++steps > total) return;
    p = page->header.next_page;
  }
}

}  // namespace pw
