// Tags: a page's tag array (4 bytes per tag from the page end), its readable range and each entry's bytes.
#pragma once

#include <cstdint>
#include <optional>

#include "../result.hpp"
#include "page.hpp"

namespace pw {

struct TagRef {
  std::uint8_t flags = 0;
  Bytes data;  // entry bytes as stored (borrowed)
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
  namespace L = page_layout;
  const std::size_t need = L::kTagSize * (static_cast<std::size_t>(tag) + 1);
  if (page.size() < need) return std::nullopt;
  const std::size_t at = page.size() - need;
  const std::uint16_t size_word = read_u16le(page, at).value_or(0);
  const std::uint16_t offset_word = read_u16le(page, at + 2).value_or(0);
  TagSlot s;
  if (large_page_mode) {
    s.size = size_word & L::kLargeTagFieldMask;
    s.offset = offset_word & L::kLargeTagFieldMask;
  } else {
    s.size = size_word & L::kSmallTagFieldMask;
    s.offset = offset_word & L::kSmallTagFieldMask;
    s.flags_word = static_cast<std::uint8_t>(offset_word >> L::kSmallTagFlagShift);
  }
  return s;
}

// The tags of a page that hold data: tags [0, count) are live (tag 0 the key prefix, then reserved tags),
// entries are tags [first_entry, count). Slots past count are stale leftovers of earlier page versions.
struct TagRange {
  std::uint16_t first_entry = 1;
  std::uint16_t count = 0;
};

// The tag state word's count (low 12 bits) and reserved-tag nibble, the count capped by what the page can hold:
// on pages above 8 KiB by the space available_data_size leaves for the tag array, on every page by its size.
TagRange tag_range(const Page& page, std::uint32_t page_size) noexcept;

class TagExtractor {
 public:
  TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
               std::uint32_t page_size) noexcept;

  std::uint16_t tag_count() const noexcept { return range_.count; }
  std::uint16_t first_entry() const noexcept { return range_.first_entry; }
  bool large_page_mode() const noexcept { return large_; }

  // Tag `tag` (below the count) with its flags; an error when its bytes are not inside the page.
  Result<TagRef> extract_tag(std::uint16_t tag) const;
  // Any slot, also past the count (stale slots), with no check against the count.
  Result<TagRef> extract_slot(std::uint16_t tag) const;

  // Decoded size/offset of tag i, or nothing when its 4 bytes are not inside the page.
  std::optional<TagSlot> slot(std::uint16_t tag) const noexcept { return read_tag_slot(data_, tag, large_); }

 private:
  Bytes data_;
  std::uint32_t header_size_;
  TagRange range_;
  bool large_;
};

}  // namespace pw
