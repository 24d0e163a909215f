// BranchEntry: separator key and child page number of an entry on a branch page.
#pragma once

#include <cstdint>
#include <optional>

#include "../result.hpp"
#include "../utils/bytes.hpp"

namespace pw {

// Child page numbers up to this bound are always accepted; larger databases raise it to their page count.
inline constexpr std::uint32_t kMinChildPageBound = 100000;

inline std::uint32_t child_page_bound(std::uint32_t total_pages) noexcept {
  return total_pages > kMinChildPageBound ? total_pages : kMinChildPageBound;
}

struct BranchEntry {
  Bytes key;
  std::optional<std::uint16_t> common_key_size;
  std::uint32_t child_page = 0;
  std::uint16_t local_key_size = 0;

  // max_child_page: the highest acceptable child page number (see child_page_bound).
  static Result<BranchEntry> parse(std::uint8_t tag_flags, Bytes entry, std::uint32_t max_child_page,
                                   bool clear_flag_bits = false);
};

}  // namespace pw
