// Verifying every page of a database file image: counts by outcome, the pages that fail, the header copies.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "../utils/bytes.hpp"
#include "page_checksum.hpp"

namespace pw {

struct PageFailure {
  std::uint32_t page = 0;
  PageCheck check;
};

struct VerifyReport {
  std::uint32_t page_size = 0;
  std::uint64_t pages = 0;  // checked so far
  std::uint64_t ok = 0;
  std::uint64_t uninitialized = 0;
  std::uint64_t mismatched = 0;
  std::uint64_t correctable = 0;
  std::uint64_t xor_form = 0;      // written pages checked in the XOR form
  std::uint64_t xor_ecc_form = 0;  // and in the XOR-ECC form
  std::vector<PageFailure> failures;  // mismatched and correctable pages, in page order, at most the limit asked
  std::uint64_t failures_omitted = 0;  // past that limit
  bool header_ok = false;  // block 0 carries the signature and its checksum
  bool shadow_ok = false;  // block 1 (at the page size) too
};

// The pages of a file image of `page_size`-byte pages (page n is block n + 1): blocks past the two header blocks
// that the file holds whole.
std::uint32_t file_page_count(Bytes file, std::uint32_t page_size) noexcept;

// Calls on_page(pgno, page bytes, check) for pages [first, first + count) of the image that it holds whole.
template <class OnPage>
void check_pages(Bytes file, std::uint32_t page_size, std::uint32_t first, std::uint32_t count, OnPage&& on_page) {
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{first} + count, file_page_count(file, page_size) + 1ull);
  for (std::uint64_t n = std::max<std::uint32_t>(first, 1); n < end; ++n) {
    const Bytes page = file.subspan((n + 1) * page_size, page_size);
    on_page(static_cast<std::uint32_t>(n), page, check_page(page, static_cast<std::uint32_t>(n)));
  }
}

// Starts a report: the header copies checked, no page yet.
VerifyReport begin_verify(Bytes file, std::uint32_t page_size);

// Checks pages [first, first + count) of the image into `report`, listing at most `max_failures` failures in all.
void verify_pages(Bytes file, std::uint32_t first, std::uint32_t count, std::size_t max_failures,
                  VerifyReport& report);

}  // namespace pw
