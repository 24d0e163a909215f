#include "descent.hpp"

#include <algorithm>

#include "../database.hpp"
#include "../page/branch.hpp"
#include "../page/tag.hpp"

namespace pw {
namespace {

// Deeper than any real B-tree; bounds descents through crafted links.
constexpr unsigned kMaxTreeDepth = 64;

}  // namespace

Result<TreePosition> descend_leftmost(const Database& db, std::uint32_t root, OnBadBranch rule, WalkCounts& counts) {
  auto page = db.read_page(root);
  if (!page) return std::move(page).error();
  const std::uint32_t object_id = page->object_id();
  std::uint32_t path[kMaxTreeDepth + 1];
  unsigned depth = 0;
  path[depth++] = root;
  while (!page->is_leaf() && depth <= kMaxTreeDepth) {
    const TagExtractor tags(*page, db.format_version(), db.format_revision(), db.page_size());
    if (tags.tag_count() <= tags.first_entry()) break;  // a branch without entries
    auto tag = tags.extract_tag(tags.first_entry());
    if (!tag) {
      if (rule == OnBadBranch::Fail) return std::move(tag).error();
      ++counts.bad_entries;
      break;
    }
    auto branch = BranchEntry::parse(tag->flags, tag->data, db.max_child_page(), tags.large_page_mode());
    if (!branch) {
      if (rule == OnBadBranch::Fail) return std::move(branch).error();
      ++counts.bad_entries;
      break;
    }
    const std::uint32_t child = branch->child_page;
    if (std::find(path, path + depth, child) != path + depth) {
      ++counts.loops;
      break;
    }
    auto child_page = db.read_page(child);
    if (!child_page) return std::move(child_page).error();
    if (child_page->object_id() != object_id) {
      ++counts.foreign_pages;
      break;
    }
    page = std::move(child_page);
    path[depth++] = child;
  }
  return TreePosition{*page, path[depth - 1]};
}

}  // namespace pw
