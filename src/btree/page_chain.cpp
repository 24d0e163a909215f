#include "page_chain.hpp"

#include <algorithm>

#include "../database.hpp"

namespace pw {

PageChain::PageChain(const Database& db, TreePosition start)
    : db_(&db), position_(std::move(start)), object_id_(position_.page.object_id()), entered_{position_.page_number} {}

Result<bool> PageChain::advance(WalkCounts& counts) {
  const std::uint32_t next = position_.page.header.next_page;
  if (next == 0) return false;
  if (entered_.count(next)) {
    ++counts.loops;
    return false;
  }
  auto page = db_->read_page(next);
  if (!page) return std::move(page).error();
  if (page->object_id() != object_id_) {
    ++counts.foreign_pages;
    return false;
  }
  entered_.insert(next);
  position_ = TreePosition{*page, next};
  return true;
}

LeafWalk::LeafWalk(const Database& db, TreePosition start, LeafKind kind, OnUnreadablePage rule)
    : db_(&db), chain_(db, std::move(start)), kind_(kind), rule_(rule) {
  enter_page();
}

void LeafWalk::enter_page() {
  const Page& page = chain_.page();
  readable_page_ = kind_ == LeafKind::DataLeaf ? page.is_plain_leaf() : page.is_leaf();
  if (readable_page_) entries_ = PageEntries(page, db_->format_version(), db_->format_revision(), db_->page_size());
}

Result<bool> LeafWalk::next(LeafItem& item) {
  for (;;) {
    auto more = next_node(item.node);
    if (!more || !*more) return more;
    auto entry = LeafEntry::try_parse(item.node.flags, item.node.bytes, entries_.large_page_mode());
    if (!entry) {
      ++counts_.bad_entries;
      continue;
    }
    item.page = chain_.page_number();
    item.entry = *entry;
    item.key_prefix = entries_.key_prefix();
    return true;
  }
}

Result<bool> LeafWalk::next_node(NodeEntry& node) {
  while (!done_) {
    if (readable_page_ && entries_.next(node, counts_)) return true;
    auto moved = chain_.advance(counts_);
    if (!moved) {
      if (rule_ == OnUnreadablePage::Fail) return std::move(moved).error();
      ++counts_.unreadable_pages;
      done_ = true;
    } else if (!*moved) {
      done_ = true;
    } else {
      enter_page();
    }
  }
  return false;
}

void full_key(const LeafItem& item, std::string& out) {
  out.clear();
  if (item.entry.common_key_size) {
    const std::size_t n = std::min<std::size_t>(*item.entry.common_key_size, item.key_prefix.size());
    out.append(reinterpret_cast<const char*>(item.key_prefix.data()), n);
  }
  out.append(reinterpret_cast<const char*>(item.entry.key.data()), item.entry.key.size());
}

}  // namespace pw
