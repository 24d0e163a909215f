#include "owner_map.hpp"

#include "../btree/page_chain.hpp"
#include "../database.hpp"

namespace pw {

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
