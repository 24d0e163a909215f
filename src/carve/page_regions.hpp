// The byte regions of one page that carving scans: tag data ranges and the slack between them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "../page/page.hpp"
#include "../page/tag.hpp"
#include "../utils/bytes.hpp"

namespace pw {

// Half-open byte range [start, end) within a page.
struct ByteRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// The tag array of one page as the carver reads it: tags 0 .. count - 1, 4 bytes each from the page end.
class PageTags {
 public:
  PageTags(const Page& page, std::uint16_t count, bool large_page_mode) noexcept
      : data_(page.data), header_size_(page.header_size), count_(count), large_(large_page_mode) {}

  std::uint16_t count() const noexcept { return count_; }
  // Tags whose 4 bytes can lie inside the page: a damaged header may claim far more than the page holds.
  std::uint16_t readable_count() const noexcept {
    return static_cast<std::uint16_t>(std::min<std::size_t>(count_, data_.size() / 4));
  }

  // Data range of tag i: [header_size + offset, header_size + offset + size). Nothing when the tag's 4 bytes
  // are not wholly inside the page, when the range ends past the page, or when it is empty.
  std::optional<ByteRange> data_range(std::uint16_t tag) const noexcept {
    const auto slot = read_tag_slot(data_, tag, large_);
    if (!slot) return std::nullopt;
    const std::uint64_t start = static_cast<std::uint64_t>(header_size_) + slot->offset;
    const std::uint64_t end = start + slot->size;
    if (slot->size == 0 || end > data_.size()) return std::nullopt;
    return ByteRange{start, end};
  }

  // Fills `occupied` with the merged, ascending ranges that the header, the tag array and the data of every
  // tag cover; the slack is what lies between and around them. `occupied` is a buffer reused across pages.
  void occupied_ranges(std::vector<ByteRange>& occupied) const;

 private:
  Bytes data_;
  std::uint32_t header_size_;
  std::uint16_t count_;
  bool large_;
};

// Calls on_gap(start, end) for each part of a page of page_length bytes that `occupied` (merged, ascending)
// does not cover, in order, until on_gap returns false.
template <class OnGap>
void for_each_slack_gap(std::uint64_t page_length, const std::vector<ByteRange>& occupied, OnGap&& on_gap) {
  std::uint64_t cursor = 0;
  for (const ByteRange& r : occupied) {
    if (cursor < r.start && !on_gap(cursor, r.start)) return;
    if (r.end > cursor) cursor = r.end;
  }
  if (cursor < page_length) on_gap(cursor, page_length);
}

}  // namespace pw
