// Page checksums against pages whose checksums the engine's own tests state, and single-bit flips in each block.
#include <vector>

#include "check.hpp"
#include "checksum/page_checksum.hpp"

namespace {

// The engine's known pages: byte i = i + i / 13 (8 KiB: byte i = i), the new-format flag set, then checksummed.
std::vector<std::uint8_t> known_page(std::size_t size, bool by_thirteen) {
  std::vector<std::uint8_t> page(size);
  for (std::size_t i = 0; i < size; ++i) page[i] = static_cast<std::uint8_t>(by_thirteen ? i + i / 13 : i);
  page[37] |= 0x20;
  return page;
}

void store(std::vector<std::uint8_t>& page, std::size_t at, std::uint64_t v) {
  for (int k = 0; k < 8; ++k) page[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

}  // namespace

TEST(xor_ecc_checksums_of_known_pages) {
  auto small = known_page(8192, false);
  CHECK_EQ(*pw::xor_ecc_checksum(small, 9876, true), 0x0000000004042290ull);
  const std::uint64_t large32[] = {0xf9ce063147b6b865, 0x69af69afcdd590e4, 0x770988f62ea1a9e2, 0x7cb77cb77b839a0e};
  const std::uint64_t large16[] = {0x7b807b80651e03fc, 0x7c347c34bc66a14b, 0x6c7e6c7ecb3a6c94, 0x05d105d19e99a841};
  for (const std::size_t size : {std::size_t{32768}, std::size_t{16384}}) {
    const std::uint64_t* expected = size == 32768 ? large32 : large16;
    auto page = known_page(size, true);
    const std::size_t block = pw::checksum_block_size(static_cast<std::uint32_t>(size));
    for (std::size_t b = 1; b < 4; ++b) {
      CHECK_EQ(*pw::xor_ecc_checksum(pw::Bytes(page).subspan(b * block, block), 0x98765431, false), expected[b]);
      store(page, 40 + 8 * (b - 1), expected[b]);
    }
    CHECK_EQ(*pw::xor_ecc_checksum(pw::Bytes(page).first(block), 0x98765431, true), expected[0]);
    store(page, 0, expected[0]);
    CHECK(pw::check_page(page, 0x98765431).condition == pw::PageCondition::Ok);

    // One flip per block, the first among the checksums block 0 holds: each located, the page made whole.
    const std::uint32_t flips[] = {40 * 8 + 1, static_cast<std::uint32_t>(block * 8 + 2),
                                   static_cast<std::uint32_t>(2 * block * 8 + 3),
                                   static_cast<std::uint32_t>(3 * block * 8 + 4)};
    for (const std::uint32_t bit : flips) page[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const pw::PageCheck check = pw::check_page(page, 0x98765431);
    CHECK(check.condition == pw::PageCondition::Correctable);
    CHECK_EQ(+check.bit_count, 4);
    for (std::size_t k = 0; k < 4; ++k) CHECK_EQ(check.bits[k].offset * 8 + check.bits[k].bit, flips[k]);
    pw::correct_page(page, check);
    CHECK(pw::check_page(page, 0x98765431).condition == pw::PageCondition::Ok);
    // The format flag itself is never corrected: the page is then read in the other form.
    page[37] ^= 0x20;
    CHECK(pw::check_page(page, 0x98765431).condition == pw::PageCondition::Mismatch);
  }
}
