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
  std::optional<TagSlot> slot(std::uint16_t tag) const noexcept;

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
