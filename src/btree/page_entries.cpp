#include "page_entries.hpp"

#include <algorithm>

namespace pw {

PageEntries::PageEntries(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
                         std::uint32_t page_size)
    : data_(page.data),
      range_(tag_range(page, page_size)),
      header_size_(static_cast<std::uint16_t>(page.header_size)),
      next_tag_(range_.first_entry),
      large_(is_large_page_mode(format_version, format_revision, page_size)) {
  if (range_.count > 0) {
    const TagExtractor tags(page, format_version, format_revision, page_size);
    if (auto t0 = tags.extract_tag(0)) prefix_ = t0->data;
  }
}

bool PageEntries::claim(std::uint32_t start, std::uint32_t end) {
  using Range = std::pair<std::uint32_t, std::uint32_t>;
  // Entries are nearly always stored in tag order: the common case appends.
  if (claimed_.empty() || claimed_.back().second <= start) {
    claimed_.emplace_back(start, end);
    return true;
  }
  auto it = std::lower_bound(claimed_.begin(), claimed_.end(), Range{start, 0},
                             [](const Range& a, const Range& b) { return a.first < b.first; });
  if (it != claimed_.end() && it->first < end) return false;
  if (it != claimed_.begin() && std::prev(it)->second > start) return false;
  claimed_.insert(it, Range{start, end});
  return true;
}

bool PageEntries::next(NodeEntry& out, WalkCounts& counts) {
  while (next_tag_ < range_.count) {
    const std::uint16_t tag = next_tag_++;
    const auto slot = read_tag_slot(data_, tag, large_);
    const std::uint64_t start = static_cast<std::uint64_t>(header_size_) + (slot ? slot->offset : 0);
    if (!slot || slot->size == 0 || start + slot->size > data_.size()) {
      ++counts.bad_entries;
      continue;
    }
    const auto end = static_cast<std::uint32_t>(start + slot->size);
    if (!claim(static_cast<std::uint32_t>(start), end)) {
      ++counts.overlapping_entries;
      continue;
    }
    out.tag = tag;
    out.bytes = data_.subspan(start, slot->size);
    if (large_) {
      out.flags =
          out.bytes.size() >= 2 ? static_cast<std::uint8_t>(out.bytes[1] >> page_layout::kLargeEntryFlagShift) : 0;
    } else {
      out.flags = slot->flags_word;
    }
    return true;
  }
  return false;
}

}  // namespace pw
