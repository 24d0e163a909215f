#include "file_header.hpp"

#include <array>

#include "database.hpp"

namespace pw {
namespace {

constexpr std::size_t kChecksumOffset = 0;
constexpr std::size_t kSignatureOffset = 4;
constexpr std::size_t kPageSizeOffset = 236;
constexpr std::array<std::uint32_t, 4> kStandardPageSizes = {4096, 8192, 16384, 32768};

bool standard_page_size(std::uint32_t size) noexcept {
  for (const std::uint32_t standard : kStandardPageSizes) {
    if (size == standard) return true;
  }
  return false;
}

bool checksum_matches(Bytes block) noexcept { return read_u32le(block, kChecksumOffset) == header_checksum(block); }

}  // namespace

std::uint32_t header_checksum(Bytes block) noexcept {
  std::uint32_t sum = 0;
  for (std::size_t offset = 8; offset + 4 <= kHeaderBlockSize; offset += 4)
    sum ^= read_u32le(block, offset).value_or(0);
  return sum;
}

HeaderBlock choose_header(Bytes file) noexcept {
  const Bytes primary = sub(file, 0, kHeaderBlockSize);
  if (checksum_matches(primary) && standard_page_size(read_u32le(primary, kPageSizeOffset).value_or(0))) {
    return {primary, false};
  }
  for (const std::uint32_t page_size : kStandardPageSizes) {
    if (!fits(file, page_size, kHeaderBlockSize)) break;
    const Bytes shadow = file.subspan(page_size, kHeaderBlockSize);
    if (read_u32le(shadow, kSignatureOffset) == kDatabaseSignature && checksum_matches(shadow) &&
        read_u32le(shadow, kPageSizeOffset) == page_size) {
      return {shadow, true};
    }
  }
  return {primary, false};
}

}  // namespace pw
