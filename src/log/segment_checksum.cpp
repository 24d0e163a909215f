#include "segment_checksum.hpp"

#include <bit>

namespace pw {
namespace {

std::uint32_t parity_mask(std::uint32_t v) noexcept { return (std::popcount(v) & 1) ? 0xFFFFFFFFu : 0u; }

}  // namespace

std::uint64_t segment_checksum(Bytes segment, std::uint32_t sector) noexcept {
  // The block as rows of four u32 columns. Each row's parity goes into the ECC at its row index and its
  // complement (idx, ~idx in the two halves); the column parities are folded the same way below.
  std::uint32_t p = 0, p0 = 0, p1 = 0, p2 = 0, p3 = 0;
  std::uint32_t row_index = 0xFF800000u;
  const std::size_t rows = segment.size() / 16;
  for (std::size_t row = 0; row < rows; ++row) {
    const std::size_t at = row * 16;
    // The first 8 bytes are the checksum itself and count as zero.
    const std::uint32_t t0 = row == 0 ? 0 : read_u32le(segment, at).value_or(0);
    const std::uint32_t t1 = row == 0 ? 0 : read_u32le(segment, at + 4).value_or(0);
    const std::uint32_t t2 = read_u32le(segment, at + 8).value_or(0);
    const std::uint32_t t3 = read_u32le(segment, at + 12).value_or(0);
    p0 ^= t0;
    p1 ^= t1;
    p2 ^= t2;
    p3 ^= t3;
    p ^= row_index & parity_mask(t0 ^ t1 ^ t2 ^ t3);
    row_index += 0xFF800080u;
  }
  p |= 0x00400000u & parity_mask(p0 ^ p1);
  p |= 0x00000040u & parity_mask(p2 ^ p3);
  const std::uint32_t r0 = p0 ^ p2, r1 = p1 ^ p3;
  p |= 0x00200000u & parity_mask(r0);
  p |= 0x00000020u & parity_mask(r1);
  const std::uint32_t columns = r0 ^ r1;  // also the XOR of every word
  std::uint32_t r = 0;
  std::uint32_t column_index = 0xFFFF0000u;
  for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
    if (columns & bit) r ^= column_index;
    column_index += 0xFFFF0001u;
  }
  const std::uint32_t size_mask = (static_cast<std::uint32_t>(segment.size()) << 19) - 1;
  const std::uint32_t ecc = (p & 0xFFE0FFE0u & size_mask) | (r & 0x001F001Fu);
  return (std::uint64_t{ecc} << 32) | (columns ^ sector);
}

}  // namespace pw
