#include "owner_map.hpp"

#include <vector>

#include "../btree/page_chain.hpp"
#include "../database.hpp"
#include "../page/branch.hpp"
#include "../page/tag.hpp"

namespace pw {

OwnerMap::OwnerMap(const Database& db) : db_(&db), owner_(static_cast<std::size_t>(db.total_pages()) + 1, 0) {}

OwnerMap OwnerMap::build(const Database& db, bool whole_trees) {
  OwnerMap map(db);
  const auto& tables = db.tables();
  map.names_.reserve(tables.size());
  for (const auto& entry : tables) {
    const auto index = static_cast<std::uint32_t>(map.names_.size());
    map.names_.push_back(&entry.second.name);
    map.walk_table(entry.second.father_data_page, index);
  }
  if (!whole_trees) return map;
  std::uint32_t index = 0;
  for (const auto& [name, table] : tables) {
    map.walk_tree(table.father_data_page, index);
    for (const auto& lv : table.long_values) map.walk_tree(lv.second.father_data_page, index);
    for (const auto& ix : table.indexes) map.walk_tree(ix.second.father_data_page, index);
    ++index;
  }
  return map;
}

// Every page reached from `root` through branch entries, of the root's object id, each once; the leaves of a
// data tree are left to the leaf-chain walk.
void OwnerMap::walk_tree(std::uint32_t root, std::uint32_t table_index) {
  auto first = db_->read_page(root);
  if (!first) return;
  const std::uint32_t object_id = first->object_id();
  if (visits_.empty()) visits_.assign(owner_.size(), 0);
  ++tree_walks_;
  std::vector<std::uint32_t> pending{root};
  while (!pending.empty()) {
    const std::uint32_t p = pending.back();
    pending.pop_back();
    if (p >= owner_.size() || visits_[p] == tree_walks_) continue;
    visits_[p] = tree_walks_;
    auto page = db_->read_page(p);
    if (!page || page->object_id() != object_id) continue;
    if (!page->is_plain_leaf() && owner_[p] == 0) owner_[p] = table_index + 1;
    if (page->is_leaf()) continue;
    const TagExtractor tags(*page, db_->format_version(), db_->format_revision(), db_->page_size());
    for (std::uint32_t t = tags.first_entry(); t < tags.tag_count(); ++t) {
      auto tag = tags.extract_tag(static_cast<std::uint16_t>(t));
      if (!tag) continue;
      auto branch = BranchEntry::parse(tag->flags, tag->data, db_->max_child_page(), tags.large_page_mode());
      if (branch) pending.push_back(branch->child_page);
    }
  }
}

const std::string* OwnerMap::owner(std::uint32_t page) const noexcept {
  if (page >= owner_.size() || owner_[page] == 0) return nullptr;
  return names_[owner_[page] - 1];
}

// A table whose root or a page on the way down cannot be read is passed over: no page is claimed for it.
void OwnerMap::walk_table(std::uint32_t root, std::uint32_t table_index) {
  WalkCounts counts;
  auto start = descend_leftmost(*db_, root, OnBadBranch::StopHere, counts);
  if (!start) return;
  PageChain chain(*db_, std::move(*start));
  for (;;) {
    const std::uint32_t p = chain.page_number();
    if (p < owner_.size()) {
      // A page already claimed was reached by an earlier walk that went on along the same next_page links
      // from there, so nothing new lies ahead.
      if (owner_[p] != 0) return;
      owner_[p] = table_index + 1;
    }
    auto moved = chain.advance(counts);
    if (!moved || !*moved) return;
  }
}

}  // namespace pw
