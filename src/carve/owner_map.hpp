// OwnerMap: which table's data tree reaches each page at its leaf level, worked out once per carving call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pw {

class Database;

// For every table in registry order: descend from its root page to the leftmost leaf, then follow the leaf
// chain. A page belongs to the first table whose walk reaches it. With whole_trees, the pages of every tree of
// a table that are not leaves of its data tree (branch pages, and every page of its long-value and index
// trees) belong to it as well, reached through the branch entries from each root.
// Each table's trees and chain are walked once, so looking up a page costs one array read.
class OwnerMap {
 public:
  static OwnerMap build(const Database& db, bool whole_trees = false);

  // Name bytes of the owning table, or nullptr when no table's walk reaches the page.
  const std::string* owner(std::uint32_t page) const noexcept;

 private:
  explicit OwnerMap(const Database& db);
  void walk_table(std::uint32_t root, std::uint32_t table_index);
  void walk_tree(std::uint32_t root, std::uint32_t table_index);

  const Database* db_;
  std::vector<const std::string*> names_;  // by table index
  std::vector<std::uint32_t> owner_;       // by page number: table index + 1, or 0 for none
  std::vector<std::uint32_t> visits_;      // by page number: the last tree walk that reached it
  std::uint32_t tree_walks_ = 0;
};

}  // namespace pw
