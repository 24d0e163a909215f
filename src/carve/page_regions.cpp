#include "page_regions.hpp"

#include <algorithm>

namespace pw {

void PageTags::occupied_ranges(std::vector<ByteRange>& occupied) const {
  occupied.clear();
  const std::uint64_t length = data_.size();
  occupied.push_back({0, std::min<std::uint64_t>(header_size_, length)});
  for (std::uint16_t i = 0, readable = readable_count(); i < readable; ++i) {
    if (const auto range = data_range(i)) occupied.push_back(*range);
  }
  const std::uint64_t array_bytes = 4 * static_cast<std::uint64_t>(count_);
  occupied.push_back({length > array_bytes ? length - array_bytes : 0, length});
  // Entries are usually stored in tag order, so the ranges mostly arrive sorted. The merged result does not
  // depend on how ranges with equal starts are ordered, so an unstable sort gives the same answer.
  auto by_start = [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; };
  if (!std::is_sorted(occupied.begin(), occupied.end(), by_start)) {
    std::sort(occupied.begin(), occupied.end(), by_start);
  }
  // Merge ranges that overlap or touch.
  std::size_t out = 0;
  for (std::size_t i = 1; i < occupied.size(); ++i) {
    if (occupied[i].start <= occupied[out].end) {
      occupied[out].end = std::max(occupied[out].end, occupied[i].end);
    } else {
      occupied[++out] = occupied[i];
    }
  }
  occupied.resize(out + 1);
}

}  // namespace pw
