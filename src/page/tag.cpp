#include "tag.hpp"

#include <algorithm>

namespace pw {

std::uint16_t compute_tag_count(const Page& page, std::uint32_t page_size) noexcept {
  if (page.data.size() < 40) return 0;
  std::uint16_t t = page.header.first_available_page_tag;
  if (page_size > 8192) {
    const std::uint64_t len = page.data.size();
    const std::uint64_t avail = page.header.available_data_size;
    const std::uint64_t room = len > avail ? (len - avail) / 4 : 0;
    t = std::min<std::uint16_t>(t, static_cast<std::uint16_t>(room));
  }
  return t;
}

TagExtractor::TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
                           std::uint32_t page_size) noexcept
    : data_(page.data),
      header_size_(page.header_size),
      tag_count_(compute_tag_count(page, page_size)),
      large_(is_large_page_mode(format_version, format_revision, page_size)) {}

Result<TagRef> TagExtractor::extract_tag(std::uint16_t tag) const {
  if (tag >= tag_count_) return EseError::invalid_tag_number(tag);
  const auto s = slot(tag);
  if (!s) return EseError::page_data_too_short(4 * (static_cast<std::uint64_t>(tag) + 1), data_.size());
  const std::uint64_t start = static_cast<std::uint64_t>(header_size_) + s->offset;
  const std::uint64_t end = start + s->size;
  if (end > data_.size()) return EseError::tag_offset_out_of_bounds(s->offset, s->size, data_.size());
  TagRef ref;
  ref.data = data_.subspan(start, s->size);
  if (large_) {
    ref.flags = ref.data.size() >= 2 ? static_cast<std::uint8_t>(ref.data[1] >> 5) : 0;
  } else {
    ref.flags = s->flags_word;
  }
  return ref;
}

Result<OwnedTag> TagExtractor::extract_tag_owned(std::uint16_t tag) const {
  auto ref = extract_tag(tag);
  if (!ref) {
    // In large-page mode an entry running past the page end reads as empty; other failures stay errors.
    if (large_ && ref.error().kind() == ErrorKind::TagOffsetOutOfBounds) return OwnedTag{};
    return std::move(ref).error();
  }
  OwnedTag owned;
  owned.flags = ref->flags;
  owned.data.assign(ref->data.begin(), ref->data.end());
  if (large_ && owned.data.size() >= 2) owned.data[1] &= 0x1F;
  return owned;
}

Result<TagRef> TagExtractor::extract_entry(std::uint16_t tag) const {
  auto ref = extract_tag(tag);
  if (!ref && large_ && ref.error().kind() == ErrorKind::TagOffsetOutOfBounds) return TagRef{};
  return ref;
}

}  // namespace pw
