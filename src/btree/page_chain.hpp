// PageChain and LeafWalk: following a tree's leaf level along next_page links, and the entries on the way.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "../page/leaf.hpp"
#include "descent.hpp"
#include "page_entries.hpp"

namespace pw {

// The pages of a leaf level from a start page on: each page once, only pages of the tree's object id. The
// chain ends at a next_page of 0, at a page entered before (a loop) and at a page of another tree (both
// counted).
class PageChain {
 public:
  PageChain(const Database& db, TreePosition start);

  const Page& page() const noexcept { return position_.page; }
  std::uint32_t page_number() const noexcept { return position_.page_number; }

  // Moves to the next page: true when there is one, false at the chain's end, an error when the next page
  // cannot be read (the chain stays where it is).
  Result<bool> advance(WalkCounts& counts);

 private:
  const Database* db_;
  TreePosition position_;
  std::uint32_t object_id_;
  std::unordered_set<std::uint32_t> entered_;
};

enum class LeafKind : std::uint8_t {
  DataLeaf,  // leaves of a table's data tree or of the catalog (entries of other pages are passed over)
  AnyLeaf,   // every page with the leaf flag (long-value trees)
};
enum class OnUnreadablePage : std::uint8_t { Fail, EndWalk };

struct LeafItem {
  std::uint32_t page = 0;
  NodeEntry node;
  LeafEntry entry;
  Bytes key_prefix;  // tag 0 of the entry's page
};

// Every parsable entry of a leaf level in chain order. Entries that cannot be parsed are passed over and counted.
class LeafWalk {
 public:
  LeafWalk(const Database& db, TreePosition start, LeafKind kind, OnUnreadablePage rule);

  // true: `item` holds the next entry; false: the walk is over; an error (rule Fail) when a linked page
  // cannot be read: the walk stays where it is, so a further call fails the same way.
  Result<bool> next(LeafItem& item);
  // The next entry as the page stores it, not parsed (on small pages its bytes are not even read): for walks
  // that only count entries and look at their tag flags.
  Result<bool> next_node(NodeEntry& node);
  const WalkCounts& counts() const noexcept { return counts_; }
  WalkCounts& counts() noexcept { return counts_; }

 private:
  void enter_page();

  const Database* db_;
  PageChain chain_;
  PageEntries entries_;
  LeafKind kind_;
  OnUnreadablePage rule_;
  bool readable_page_ = false;
  bool done_ = false;
  WalkCounts counts_;
};

// The full key of a leaf entry: the first common_key_size bytes of the page's key prefix, then its own key.
void full_key(const LeafItem& item, std::string& out);

}  // namespace pw
