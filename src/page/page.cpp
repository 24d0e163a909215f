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
  Page page;
  page.kind = page_header_kind(format_version, format_revision);
  if (bytes.size() < 40) return EseError::page_data_too_short(40, bytes.size());
  if (page.kind == PageHeaderKind::Extended && page_size > 8192) {
    if (bytes.size() < 80) return EseError::page_data_too_short(80, bytes.size());
    std::array<std::uint8_t, 40> ext{};
    std::copy_n(bytes.begin() + 40, 40, ext.begin());
    page.extension = ext;
    page.header_size = 80;
  }
  PageHeader& h = page.header;
  h.checksum = *read_u64le(bytes, 0);
  h.database_time = *read_u64le(bytes, 8);
  h.previous_page = *read_u32le(bytes, 16);
  h.next_page = *read_u32le(bytes, 20);
  h.father_data_page_object_id = *read_u32le(bytes, 24);
  h.available_data_size = *read_u16le(bytes, 28);
  h.available_uncommitted_data_size = *read_u16le(bytes, 30);
  h.first_available_data_offset = *read_u16le(bytes, 32);
  h.first_available_page_tag = *read_u16le(bytes, 34);
  h.page_flags = *read_u32le(bytes, 36);
  page.data = bytes;
  return page;
}

}  // namespace pw
