// Page checksums: the XOR form of older engines and the XOR-ECC form (page flag 0x2000) that locates a single
// flipped bit in each block it covers, checked against what a page stores.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "../utils/bytes.hpp"

namespace pw {

namespace page_checksum {
// The XOR form: u32 at 0 = this seed ^ the XOR of the page's u32 words from offset 4, u32 at 4 = page number.
inline constexpr std::uint32_t kXorSeed = 0x89ABCDEF;
inline constexpr std::uint32_t kNewFormatFlag = 0x2000;  // page flag: the XOR-ECC form
// Bit of the page holding kNewFormatFlag (byte 37, bit 5): never taken as the bit an ECC locates, since
// flipping it would change which form the page is checked by.
inline constexpr std::uint32_t kNewFormatFlagBit = 36 * 8 + 13;
// Pages above 8 KiB carry one checksum per block: block 0's at offset 0, blocks 1-3's at 40, 48 and 56 (inside
// block 0, which so protects them).
inline constexpr std::size_t kBlockChecksums = 40;
inline constexpr std::size_t kMaxBlocks = 4;
}  // namespace page_checksum

// The XOR-ECC checksum of one block (its size a power of two from 1 KiB to 8 KiB; nothing otherwise): the ECC
// in the high 32 bits, the XOR of the block's u32 words ^ pgno in the low 32. The ECC is a Hsiao code over the
// block as rows of 32 bits: the parities of the row and column indices of the set bits, and their complements.
// A block holding the checksum itself (block 0 of a page) is read with its first 8 bytes as zeros.
std::optional<std::uint64_t> xor_ecc_checksum(Bytes block, std::uint32_t pgno, bool holds_checksum) noexcept;

// The size of the blocks a page's XOR-ECC checksums cover: the page itself up to 8 KiB, 4 KiB blocks on 16 KiB
// pages, 8 KiB blocks on 32 KiB pages; 0 for a page size without that layout.
std::uint32_t checksum_block_size(std::uint32_t page_size) noexcept;

enum class ChecksumForm : std::uint8_t { Xor, XorEcc };
enum class PageCondition : std::uint8_t {
  Ok,
  Uninitialized,  // every byte zero: a page the engine never wrote
  Mismatch,       // the stored checksum disagrees and no single flipped bit explains it
  Correctable,    // each block that disagrees has one flipped bit, located
};

// A bit of the page that the ECC locates: byte offset in the page and bit 0 (lowest) to 7.
struct FlippedBit {
  std::uint32_t offset = 0;
  std::uint8_t bit = 0;
  std::uint8_t block = 0;
};

struct BlockMismatch {
  std::uint8_t block = 0;
  std::uint64_t stored = 0;
  std::uint64_t computed = 0;
};

struct PageCheck {
  PageCondition condition = PageCondition::Ok;
  ChecksumForm form = ChecksumForm::XorEcc;
  std::array<BlockMismatch, page_checksum::kMaxBlocks> mismatches{};
  std::uint8_t mismatch_count = 0;
  std::array<FlippedBit, page_checksum::kMaxBlocks> bits{};  // Correctable: one per disagreeing block
  std::uint8_t bit_count = 0;
  // The data agrees with its stored checksum except for one bit of that checksum: the page is likely intact.
  bool checksum_bit_only = false;
  // The stored checksum is right for this other page number: a page written at another page's place.
  std::optional<std::uint32_t> checksum_of_page;

  bool ok() const noexcept { return condition == PageCondition::Ok || condition == PageCondition::Uninitialized; }
};

// Checks one page (page.size() is the page size) as page number `pgno`. The flag 0x2000 chooses the form.
PageCheck check_page(Bytes page, std::uint32_t pgno) noexcept;

// Flips the bits a Correctable check located, in a copy of the page.
void correct_page(std::span<std::uint8_t> page, const PageCheck& check) noexcept;

}  // namespace pw
