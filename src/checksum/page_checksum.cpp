#include "page_checksum.hpp"

#include <bit>

#include "../format/page_layout.hpp"

namespace pw {
namespace {

using namespace page_checksum;

// Blocks are read in chunks of 8 lanes; lane l (a u64) holds rows (u32 words) 2l and 2l + 1.
constexpr std::size_t kChunk = 64;
constexpr std::size_t kMaxChunks = 128;  // an 8 KiB block

unsigned parity(std::uint64_t v) noexcept { return static_cast<unsigned>(std::popcount(v) & 1); }

// What the ECC of a block is made of: the XOR of its rows (bit c: the parity of column c) and, for each bit k of
// the row index, the parity of the rows whose index has bit k set (that is, the parity of the set bits in them).
struct BlockParities {
  std::uint32_t columns = 0;
  std::uint32_t row_index_bits = 0;
};

BlockParities block_parities(Bytes block, bool holds_checksum) noexcept {
  // Row index = 16 * chunk + 2 * (lane within the chunk) + (high half of the lane).
  std::uint64_t total = 0, lane_bit0 = 0, lane_bit1 = 0, lane_bit2 = 0;
  std::array<std::uint64_t, kMaxChunks / 64> chunk_parity{};  // bit m: parity of chunk m
  const std::size_t chunks = block.size() / kChunk;
  for (std::size_t m = 0; m < chunks; ++m) {
    auto lanes = read_le_array<std::uint64_t, 8>(block, m * kChunk);
    if (!lanes) break;
    std::array<std::uint64_t, 8>& l = *lanes;
    if (m == 0 && holds_checksum) l[0] = 0;
    const std::uint64_t x23 = l[2] ^ l[3], x45 = l[4] ^ l[5], x67 = l[6] ^ l[7];
    const std::uint64_t chunk = l[0] ^ l[1] ^ x23 ^ x45 ^ x67;
    total ^= chunk;
    lane_bit0 ^= l[1] ^ l[3] ^ l[5] ^ l[7];
    lane_bit1 ^= x23 ^ x67;
    lane_bit2 ^= x45 ^ x67;
    chunk_parity[m / 64] |= static_cast<std::uint64_t>(parity(chunk)) << (m % 64);
  }
  BlockParities out;
  out.columns = static_cast<std::uint32_t>(total) ^ static_cast<std::uint32_t>(total >> 32);
  std::uint32_t bits = parity(total >> 32) | parity(lane_bit0) << 1 | parity(lane_bit1) << 2 | parity(lane_bit2) << 3;
  // Chunk index bit b is row index bit b + 4.
  constexpr std::uint64_t kChunkBit[6] = {0xAAAAAAAAAAAAAAAA, 0xCCCCCCCCCCCCCCCC, 0xF0F0F0F0F0F0F0F0,
                                          0xFF00FF00FF00FF00, 0xFFFF0000FFFF0000, 0xFFFFFFFF00000000};
  for (unsigned b = 0; b < 6; ++b)
    bits |= (parity(chunk_parity[0] & kChunkBit[b]) ^ parity(chunk_parity[1] & kChunkBit[b])) << (b + 4);
  bits |= parity(chunk_parity[1]) << 10;
  out.row_index_bits = bits;
  return out;
}

std::uint32_t column_index_bits(std::uint32_t columns) noexcept {
  constexpr std::uint32_t kColumnBit[5] = {0xAAAAAAAA, 0xCCCCCCCC, 0xF0F0F0F0, 0xFF00FF00, 0xFFFF0000};
  std::uint32_t bits = 0;
  for (unsigned c = 0; c < 5; ++c) bits |= parity(columns & kColumnBit[c]) << c;
  return bits;
}

// XOR of all u32 words of a page, and whether any byte is set.
struct PageFold {
  std::uint32_t words = 0;
  bool nonzero = false;
};

PageFold fold_page(Bytes page) noexcept {
  std::uint64_t total = 0, any = 0;
  for (std::size_t at = 0; at + kChunk <= page.size(); at += kChunk) {
    const auto lanes = read_le_array<std::uint64_t, 8>(page, at);
    if (!lanes) break;
    for (const std::uint64_t lane : *lanes) {
      total ^= lane;
      any |= lane;
    }
  }
  return {static_cast<std::uint32_t>(total) ^ static_cast<std::uint32_t>(total >> 32), any != 0};
}

std::uint32_t high(std::uint64_t v) noexcept { return static_cast<std::uint32_t>(v >> 32); }
std::uint32_t low(std::uint64_t v) noexcept { return static_cast<std::uint32_t>(v); }

// The bit of a block that one flip explains the difference by: the ECC difference must hold a row and column
// index next to their complements, and the XOR difference exactly that column's bit.
std::optional<std::uint32_t> located_bit(std::uint64_t stored, std::uint64_t computed, std::uint32_t block_size) {
  const std::uint32_t ecc = high(stored) ^ high(computed);
  const std::uint32_t mask = block_size * 8 - 1;
  if ((((ecc >> 16) ^ ecc) & mask) != mask) return std::nullopt;
  const std::uint32_t bit = ecc & 0xFFFF;
  if (bit >= block_size * 8 || (low(stored) ^ low(computed)) != (1u << (bit & 31))) return std::nullopt;
  return bit;
}

void add_mismatch(PageCheck& check, std::uint8_t block, std::uint64_t stored, std::uint64_t computed) {
  check.mismatches[check.mismatch_count++] = {block, stored, computed};
}

PageCheck check_xor_form(Bytes page, std::uint32_t pgno) {
  PageCheck check;
  check.form = ChecksumForm::Xor;
  const PageFold fold = fold_page(page);
  if (!fold.nonzero) {
    check.condition = PageCondition::Uninitialized;
    return check;
  }
  const std::uint64_t stored = read_u64le(page, page_layout::kChecksum).value_or(0);
  const std::uint32_t xor_value = kXorSeed ^ fold.words ^ low(stored);
  const std::uint64_t computed = static_cast<std::uint64_t>(pgno) << 32 | xor_value;
  if (stored == computed) return check;
  check.condition = PageCondition::Mismatch;
  add_mismatch(check, 0, stored, computed);
  check.checksum_bit_only = std::popcount(stored ^ computed) == 1;
  if (low(stored) == xor_value) check.checksum_of_page = high(stored);  // the page says it is that page
  return check;
}

PageCheck check_xor_ecc_form(Bytes page, std::uint32_t pgno) {
  PageCheck check;
  const std::uint32_t block_size = checksum_block_size(static_cast<std::uint32_t>(page.size()));
  if (block_size == 0) {
    check.condition = PageCondition::Mismatch;
    return check;
  }
  const std::size_t blocks = page.size() / block_size;
  std::array<std::uint64_t, kMaxBlocks> stored{}, computed{};
  for (std::size_t b = 0; b < blocks; ++b) {
    computed[b] = xor_ecc_checksum(page.subspan(b * block_size, block_size), pgno, b == 0).value_or(0);
    stored[b] = read_u64le(page, b == 0 ? page_layout::kChecksum : kBlockChecksums + 8 * (b - 1)).value_or(0);
  }
  if (stored == computed) return check;
  // Block 0 first: a bit it locates among the other blocks' checksums (which it holds) is theirs to correct too.
  std::array<std::uint64_t, kMaxBlocks> expected = stored;
  bool located = true;
  for (std::size_t b = 0; b < blocks; ++b) {
    if (expected[b] == computed[b]) continue;
    add_mismatch(check, static_cast<std::uint8_t>(b), stored[b], computed[b]);
    const auto bit = located_bit(expected[b], computed[b], block_size);
    // Block 0's first 8 bytes (its checksum) are outside its code: no flip there explains a difference.
    if (!bit || (b == 0 && (*bit == kNewFormatFlagBit || *bit < 64))) {
      located = false;
      continue;
    }
    const std::uint32_t page_bit = static_cast<std::uint32_t>(b * block_size * 8) + *bit;
    check.bits[check.bit_count++] = {page_bit / 8, static_cast<std::uint8_t>(page_bit % 8), static_cast<std::uint8_t>(b)};
    const std::uint32_t into_checksums = page_bit - kBlockChecksums * 8;
    if (b == 0 && blocks > 1 && page_bit >= kBlockChecksums * 8 && into_checksums < 64 * (blocks - 1))
      expected[1 + into_checksums / 64] ^= std::uint64_t{1} << (into_checksums % 64);
  }
  if (located) {
    check.condition = PageCondition::Correctable;
    return check;
  }
  check.condition = PageCondition::Mismatch;
  check.bit_count = 0;
  // No bit located: what the differences still say.
  const std::uint32_t shift = low(stored[0] ^ computed[0]);
  bool single_bits = true, moved = shift != 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::uint64_t diff = stored[b] ^ computed[b];
    single_bits = single_bits && std::popcount(diff) <= 1;
    moved = moved && high(diff) == 0 && low(diff) == shift;  // every block's data agrees, for another page
  }
  check.checksum_bit_only = single_bits;
  if (moved) check.checksum_of_page = pgno ^ shift;
  return check;
}

}  // namespace

std::uint32_t checksum_block_size(std::uint32_t page_size) noexcept {
  if (page_size < 1024 || page_size > 32768 || !std::has_single_bit(page_size)) return 0;
  if (page_size <= 8192) return page_size;
  return page_size == 16384 ? 4096 : 8192;
}

std::optional<std::uint64_t> xor_ecc_checksum(Bytes block, std::uint32_t pgno, bool holds_checksum) noexcept {
  const std::size_t size = block.size();
  if (size < 1024 || size > 8192 || !std::has_single_bit(size)) return std::nullopt;
  const BlockParities parities = block_parities(block, holds_checksum);
  const std::uint32_t row_mask = static_cast<std::uint32_t>(size / 4 - 1);
  const bool odd = parity(parities.columns) != 0;
  const std::uint32_t p = parities.row_index_bits & row_mask;
  const std::uint32_t q = (p ^ (odd ? row_mask : 0)) & row_mask;
  const std::uint32_t r = column_index_bits(parities.columns);
  const std::uint32_t s = r ^ (odd ? 31u : 0u);
  const std::uint32_t ecc = q << 21 | s << 16 | p << 5 | r;
  return static_cast<std::uint64_t>(ecc) << 32 | (parities.columns ^ pgno);
}

PageCheck check_page(Bytes page, std::uint32_t pgno) noexcept {
  const std::uint32_t flags = read_u32le(page, page_layout::kPageFlags).value_or(0);
  return (flags & kNewFormatFlag) ? check_xor_ecc_form(page, pgno) : check_xor_form(page, pgno);
}

void correct_page(std::span<std::uint8_t> page, const PageCheck& check) noexcept {
  if (check.condition != PageCondition::Correctable) return;
  for (std::size_t k = 0; k < check.bit_count; ++k) {
    const FlippedBit& bit = check.bits[k];
    if (bit.offset < page.size()) page[bit.offset] ^= static_cast<std::uint8_t>(1u << bit.bit);
  }
}

}  // namespace pw
