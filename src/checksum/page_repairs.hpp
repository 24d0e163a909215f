// Corrected copies of the pages in which the XOR-ECC checksum locates one flipped bit per block: what a reader
// that repairs such pages reads instead of the mapped page. The file itself is never written.
#pragma once

#include <cstdint>
#include <vector>

#include "../utils/bytes.hpp"
#include "page_checksum.hpp"

namespace pw {

struct PageRepair {
  std::uint32_t page = 0;
  std::vector<std::uint8_t> bytes;  // the page with the located bits flipped back
  PageCheck check;                  // what was found: the bits
};

class PageRepairs {
 public:
  // Checks every page of a file image of `page_size`-byte pages. Memory: one page per corrected page.
  static PageRepairs find(Bytes file, std::uint32_t page_size);

  // The corrected copy of page `pgno`, or nothing when the page needed none (inline: every page read asks).
  const std::vector<std::uint8_t>* find_page(std::uint32_t pgno) const noexcept {
    return repairs_.empty() ? nullptr : find_repaired(pgno);
  }
  const std::vector<PageRepair>& list() const noexcept { return repairs_; }

 private:
  const std::vector<std::uint8_t>* find_repaired(std::uint32_t pgno) const noexcept;
  std::vector<PageRepair> repairs_;  // by page number
};

}  // namespace pw
