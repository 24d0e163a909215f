#include "page.hpp"

#include <algorithm>

namespace pw {

PageHeaderKind page_header_kind(std::uint32_t version, std::uint32_t revision) noexcept {
  if (version < kFormatVersion620 || (version == kFormatVersion620 && revision < 11)) return PageHeaderKind::Legacy;
  if (version == kFormatVersion620 && revision <= 16) return PageHeaderKind::Revised;
  return PageHeaderKind::Extended;
}

Result<Page> Page::parse(Bytes bytes, std::uint32_t format_version, std::uint32_t format_revision,
                         std::uint32_t page_size) {
  namespace L = page_layout;
  Page page;
  page.kind = page_header_kind(format_version, format_revision);
  if (bytes.size() < L::kCommonHeaderSize) return EseError::page_data_too_short(L::kCommonHeaderSize, bytes.size());
  if (page.kind == PageHeaderKind::Extended && page_size > 8192) {
    if (bytes.size() < L::kExtendedHeaderSize)
      return EseError::page_data_too_short(L::kExtendedHeaderSize, bytes.size());
    std::array<std::uint8_t, L::kExtensionSize> ext{};
    std::copy_n(bytes.begin() + L::kCommonHeaderSize, L::kExtensionSize, ext.begin());
    page.extension = ext;
    page.header_size = L::kExtendedHeaderSize;
  }
  // The size test above covers every field of the common header.
  PageHeader& h = page.header;
  h.checksum = read_u64le(bytes, L::kChecksum).value_or(0);
  h.database_time = read_u64le(bytes, L::kDatabaseTime).value_or(0);
  h.previous_page = read_u32le(bytes, L::kPreviousPage).value_or(0);
  h.next_page = read_u32le(bytes, L::kNextPage).value_or(0);
  h.father_data_page_object_id = read_u32le(bytes, L::kObjectId).value_or(0);
  h.available_data_size = read_u16le(bytes, L::kAvailableData).value_or(0);
  h.available_uncommitted_data_size = read_u16le(bytes, L::kAvailableUncommitted).value_or(0);
  h.first_available_data_offset = read_u16le(bytes, L::kFirstAvailableData).value_or(0);
  h.first_available_page_tag = read_u16le(bytes, L::kTagState).value_or(0);
  h.page_flags = read_u32le(bytes, L::kPageFlags).value_or(0);
  page.data = bytes;
  return page;
}

}  // namespace pw
