#include "branch.hpp"

#include <algorithm>
#include <cstdio>

#include "leaf.hpp"

namespace pw {

Result<BranchEntry> BranchEntry::parse(std::uint8_t tag_flags, Bytes entry, std::uint32_t max_child_page,
                                       bool clear_flag_bits) {
  const bool compressed = (tag_flags & kTagFlagCommonKey) != 0;
  const std::size_t min_len = compressed ? 8 : 6;
  char msg[160];
  if (entry.size() < min_len) {
    std::snprintf(msg, sizeof msg, "Branch entry too short: got %zu bytes, need at least %zu (flags: 0x%x)",
                  entry.size(), min_len, static_cast<unsigned>(tag_flags));
    return EseError::parse_error(msg);
  }
  BranchEntry out;
  std::size_t key_start = 2;
  if (compressed) {
    out.common_key_size = entry_first_word(entry, clear_flag_bits);
    key_start = 4;
  }
  const std::uint16_t size_word =
      key_start == 2 ? entry_first_word(entry, clear_flag_bits) : read_u16le(entry, key_start - 2).value_or(0);
  out.local_key_size = size_word & 0x7FFF;
  const std::size_t key_len = std::min<std::size_t>(out.local_key_size, entry.size() - key_start);
  out.key = entry.subspan(key_start, key_len);
  const std::size_t p = key_start + key_len;
  const auto child = read_u32le(entry, p);
  if (!child) {
    std::snprintf(msg, sizeof msg,
                  "Branch entry too short for child page number: got %zu bytes, offset %zu, need 4 more "
                  "(likely metadata tag)",
                  entry.size(), p);
    return EseError::parse_error(msg);
  }
  if (*child == 0 || *child > max_child_page) {
    std::snprintf(msg, sizeof msg, "Branch entry has invalid child page number: %u (likely corrupted data)",
                  static_cast<unsigned>(*child));
    return EseError::parse_error(msg);
  }
  out.child_page = *child;
  return out;
}

}  // namespace pw
