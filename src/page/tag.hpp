// TagExtractor: reads a page's tag array (4 bytes per tag from the page end) and locates each entry.
#pragma once

#include <cstdint>
#include <vector>

#include "../result.hpp"
#include "page.hpp"

namespace pw {

struct TagRef {
  std::uint8_t flags = 0;
  Bytes data;  // entry bytes as stored (borrowed)
};

struct OwnedTag {
  std::uint8_t flags = 0;
  std::vector<std::uint8_t> data;
};

// Size and offset of a tag as decoded from its 4 bytes (offset counts from the end of the page header).
struct TagSlot {
  std::uint16_t size = 0;
  std::uint16_t offset = 0;
  std::uint8_t flags_word = 0;  // top 3 bits of the offset field (normal mode only)
};

// Size and offset of tag `tag` decoded from its 4 bytes at the end of `page` (15-bit fields in large-page mode,
// 13-bit fields and the flags in the offset word otherwise); nothing when the 4 bytes are not inside the page.
inline std::optional<TagSlot> read_tag_slot(Bytes page, std::uint16_t tag, bool large_page_mode) noexcept {
  const std::size_t need = 4 * (static_cast<std::size_t>(tag) + 1);
  if (page.size() < need) return std::nullopt;
  const std::size_t at = page.size() - need;
  const std::uint16_t size_word = *read_u16le(page, at);
  const std::uint16_t offset_word = *read_u16le(page, at + 2);
  TagSlot s;
  if (large_page_mode) {
    s.size = size_word & 0x7FFF;
    s.offset = offset_word & 0x7FFF;
  } else {
    s.size = size_word & 0x1FFF;
    s.offset = offset_word & 0x1FFF;
    s.flags_word = static_cast<std::uint8_t>(offset_word >> 13);
  }
  return s;
}

class TagExtractor {
 public:
  TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
               std::uint32_t page_size) noexcept;

  std::uint16_t tag_count() const noexcept { return tag_count_; }
  bool large_page_mode() const noexcept { return large_; }

  Result<TagRef> extract_tag(std::uint16_t tag) const;
  // Owned copy; in large-page mode the tag-flag bits of the second byte are cleared.
  Result<OwnedTag> extract_tag_owned(std::uint16_t tag) const;
  // As extract_tag, except that in large-page mode an entry running past the page reads as empty (the
  // borrowed counterpart of extract_tag_owned; parse it with the flag bits cleared).
  Result<TagRef> extract_entry(std::uint16_t tag) const;

  // Decoded size/offset of tag i, or nothing when its 4 bytes are not inside the page.
  std::optional<TagSlot> slot(std::uint16_t tag) const noexcept { return read_tag_slot(data_, tag, large_); }

 private:
  Bytes data_;
  std::uint32_t header_size_;
  std::uint16_t tag_count_ = 0;
  bool large_;
};

// The number of tags of a page: first_available_page_tag, capped on pages above 8 KiB by the space
// that available_data_size leaves for the tag array.
std::uint16_t compute_tag_count(const Page& page, std::uint32_t page_size) noexcept;

}  // namespace pw
