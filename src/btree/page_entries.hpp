// PageEntries: the entries of one page in tag order, as every walk reads them.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "../page/tag.hpp"
#include "walk_counts.hpp"

namespace pw {

inline constexpr std::uint8_t kTagFlagVersion = 0x01;
inline constexpr std::uint8_t kTagFlagDeleted = 0x02;

struct NodeEntry {
  std::uint16_t tag = 0;
  std::uint8_t flags = 0;  // tag flags: common key, deleted, version
  Bytes bytes;             // the entry as stored (on large pages parse with the flag bits cleared)
};

// Walks tags [first_entry, count) of a page. Tags whose bytes lie outside the page, empty entries and entries
// whose bytes overlap an entry met earlier on the page are passed over and counted: a page is never read as
// more records than its bytes can hold.
class PageEntries {
 public:
  PageEntries() = default;
  PageEntries(const Page& page, std::uint32_t format_version, std::uint32_t format_revision, std::uint32_t page_size);

  bool next(NodeEntry& out, WalkCounts& counts);
  // Tag 0: the key prefix that entries with the common-key flag share (raw, never masked).
  Bytes key_prefix() const noexcept { return prefix_; }
  const TagRange& range() const noexcept { return range_; }
  bool large_page_mode() const noexcept { return large_; }
  std::uint16_t header_size() const noexcept { return header_size_; }

 private:
  bool claim(std::uint32_t start, std::uint32_t end);

  Bytes data_;
  Bytes prefix_;
  TagRange range_;
  std::uint16_t header_size_ = 0;
  std::uint16_t next_tag_ = 0;
  bool large_ = false;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> claimed_;  // entry byte ranges, ascending and disjoint
};

}  // namespace pw
