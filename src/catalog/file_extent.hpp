// How far a database reaches: the last page that its own space tree and the roots of its trees name, against
// the pages its file holds. A file cut at a page boundary (a partial copy) looks whole by its size alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pw {

class Database;

inline constexpr std::uint32_t kDatabaseRootPage = 1;

// The last page a tree owns by its space tree: the root page's space header (tag 0) names the owned-extent
// tree of a tree of several extents, whose keys are the big-endian last page of each extent. Reads the root,
// the space tree's root and, when that branches, the pages down its last entries. Nothing for a tree of one
// extent or when a page on the way cannot be read.
std::optional<std::uint32_t> last_owned_page(const Database& db, std::uint32_t root_page);

struct FileExtent {
  std::uint32_t file_pages = 0;  // pages the file holds (after the two header blocks)
  std::uint32_t last_page = 0;   // the highest page number named
  std::string named_by;          // what names it (table and index names as their raw bytes)
  bool truncated() const noexcept { return last_page > file_pages; }
};

// The highest page named by the database's space tree (what the engine takes as the database's size), the
// root page of every table, index and long-value tree of the registry and their owned extents: a root page
// or two per tree, never a whole tree.
FileExtent file_extent(const Database& db);

}  // namespace pw
