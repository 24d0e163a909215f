// Descending a B-tree from its root to the leftmost page of its leaf level.
#pragma once

#include <cstdint>

#include "../page/page.hpp"
#include "../result.hpp"
#include "walk_counts.hpp"

namespace pw {

class Database;

struct TreePosition {
  Page page;
  std::uint32_t page_number = 0;
};

// How a descent treats a branch page whose first entry cannot be read: the table cursor fails (its rows
// would be lost without a word); the long-value index and the owner map start the leaf walk where they are.
enum class OnBadBranch : std::uint8_t { Fail, StopHere };

// From `root` through the first entry of each branch page down to a page with the leaf flag. A link back
// to a page of the path, a child of another object id or a depth beyond any real tree ends the descent at the
// page reached (counted). An unreadable root or child page is an error.
Result<TreePosition> descend_leftmost(const Database& db, std::uint32_t root, OnBadBranch rule, WalkCounts& counts);

}  // namespace pw
