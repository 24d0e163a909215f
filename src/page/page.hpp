// Page: one database page parsed in place (header kind, common header, optional 40-byte extension).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "../format/page_layout.hpp"
#include "../result.hpp"
#include "../utils/bytes.hpp"

namespace pw {

inline constexpr std::uint32_t kFormatVersion620 = 0x620;

enum class PageHeaderKind : std::uint8_t { Legacy, Revised, Extended };

namespace page_flag {
inline constexpr std::uint32_t kRoot = 0x0001;
inline constexpr std::uint32_t kLeaf = 0x0002;
inline constexpr std::uint32_t kParent = 0x0004;
inline constexpr std::uint32_t kEmpty = 0x0008;
inline constexpr std::uint32_t kSpaceTree = 0x0020;
inline constexpr std::uint32_t kIndex = 0x0040;
inline constexpr std::uint32_t kLongValue = 0x0080;
// A leaf of a table's data tree or of the catalog has the leaf flag and none of these.
inline constexpr std::uint32_t kPlainLeafMask = kLeaf | kSpaceTree | kIndex | kLongValue;
}  // namespace page_flag

struct PageHeader {
  std::uint64_t checksum = 0;
  std::uint64_t database_time = 0;
  std::uint32_t previous_page = 0;
  std::uint32_t next_page = 0;
  std::uint32_t father_data_page_object_id = 0;
  std::uint16_t available_data_size = 0;
  std::uint16_t available_uncommitted_data_size = 0;
  std::uint16_t first_available_data_offset = 0;
  std::uint16_t first_available_page_tag = 0;
  std::uint32_t page_flags = 0;
};

PageHeaderKind page_header_kind(std::uint32_t format_version, std::uint32_t format_revision) noexcept;

// Pages above 8 KiB of version 0x620 revision >= 17 keep tag sizes/offsets in 15 bits and tag flags in the entry.
inline bool is_large_page_mode(std::uint32_t version, std::uint32_t revision, std::uint32_t page_size) noexcept {
  return version == kFormatVersion620 && revision >= 17 && page_size > 8192;
}

struct Page {
  PageHeaderKind kind = PageHeaderKind::Legacy;
  PageHeader header;
  std::optional<std::array<std::uint8_t, page_layout::kExtensionSize>> extension;
  Bytes data;  // the whole page, borrowed from the mapping
  std::uint32_t header_size = 40;

  static Result<Page> parse(Bytes page, std::uint32_t format_version, std::uint32_t format_revision,
                            std::uint32_t page_size);

  std::uint32_t page_flags() const noexcept { return header.page_flags; }
  bool is_leaf() const noexcept { return (header.page_flags & page_flag::kLeaf) != 0; }
  // A leaf of a table's data tree or the catalog: leaf set, none of space tree, index, long value.
  bool is_plain_leaf() const noexcept { return (header.page_flags & page_flag::kPlainLeafMask) == page_flag::kLeaf; }
  bool is_long_value_leaf() const noexcept {
    return (header.page_flags & (page_flag::kLeaf | page_flag::kLongValue)) ==
           (page_flag::kLeaf | page_flag::kLongValue);
  }
  std::uint32_t object_id() const noexcept { return header.father_data_page_object_id; }
};

}  // namespace pw
