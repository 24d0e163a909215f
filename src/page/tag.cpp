#include "tag.hpp"

#include <algorithm>

namespace pw {

TagRange tag_range(const Page& page, std::uint32_t page_size) noexcept {
  namespace L = page_layout;
  const std::uint64_t len = page.data.size();
  if (len < L::kCommonHeaderSize) return {1, 0};
  const std::uint16_t state = page.header.first_available_page_tag;
  std::uint64_t count = state & L::kTagCountMask;
  const unsigned reserved = state >> L::kReservedTagShift;
  if (page_size > 8192) {
    const std::uint64_t avail = page.header.available_data_size;
    count = std::min<std::uint64_t>(count, len > avail ? (len - avail) / L::kTagSize : 0);
  }
  count = std::min<std::uint64_t>(count, len / L::kTagSize);
  return {static_cast<std::uint16_t>(std::max(1u, reserved)), static_cast<std::uint16_t>(count)};
}

TagExtractor::TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
                           std::uint32_t page_size) noexcept
    : data_(page.data),
      header_size_(page.header_size),
      range_(tag_range(page, page_size)),
      large_(is_large_page_mode(format_version, format_revision, page_size)) {}

Result<TagRef> TagExtractor::extract_tag(std::uint16_t tag) const {
  if (tag >= range_.count) return EseError::invalid_tag_number(tag);
  return extract_slot(tag);
}

Result<TagRef> TagExtractor::extract_slot(std::uint16_t tag) const {
  const auto s = slot(tag);
  if (!s) return EseError::page_data_too_short(4 * (static_cast<std::uint64_t>(tag) + 1), data_.size());
  const std::uint64_t start = static_cast<std::uint64_t>(header_size_) + s->offset;
  const std::uint64_t end = start + s->size;
  if (end > data_.size()) return EseError::tag_offset_out_of_bounds(s->offset, s->size, data_.size());
  TagRef ref;
  ref.data = data_.subspan(start, s->size);
  if (large_) {
    ref.flags = ref.data.size() >= 2 ? static_cast<std::uint8_t>(ref.data[1] >> page_layout::kLargeEntryFlagShift) : 0;
  } else {
    ref.flags = s->flags_word;
  }
  return ref;
}

}  // namespace pw
