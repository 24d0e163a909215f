#include "leaf.hpp"

#include <algorithm>
#include <cstdio>

namespace pw {

Result<LeafEntry> LeafEntry::parse(std::uint8_t tag_flags, Bytes entry, bool clear_flag_bits) {
  if (auto parsed = try_parse(tag_flags, entry, clear_flag_bits)) return *parsed;
  char msg[128];
  std::snprintf(msg, sizeof msg, "Leaf entry too short: got %zu bytes, need at least %zu (flags: 0x%x)", entry.size(),
                static_cast<std::size_t>((tag_flags & kTagFlagCommonKey) ? 4 : 2), static_cast<unsigned>(tag_flags));
  return EseError::parse_error(msg);
}

std::optional<LeafEntry> LeafEntry::try_parse(std::uint8_t tag_flags, Bytes entry, bool clear_flag_bits) noexcept {
  const bool compressed = (tag_flags & kTagFlagCommonKey) != 0;
  const std::size_t min_len = compressed ? 4 : 2;
  if (entry.size() < min_len) return std::nullopt;
  LeafEntry out;
  std::size_t pos = 0;
  if (compressed) {
    out.common_key_size = entry_first_word(entry, clear_flag_bits);
    pos = 2;
  }
  const std::uint16_t first = pos == 0 ? entry_first_word(entry, clear_flag_bits) : read_u16le(entry, pos).value_or(0);
  const std::uint16_t key_size = first & 0x7FFF;
  const std::size_t key_start = min_len;
  if (key_size == 0) {
    out.data = entry.subspan(key_start);
    return out;
  }
  if (entry.size() == key_start) return out;
  const std::size_t key_len = std::min<std::size_t>(key_size, entry.size() - key_start);
  out.key = entry.subspan(key_start, key_len);
  out.data = entry.subspan(key_start + key_len);
  out.local_key_size = static_cast<std::uint16_t>(key_len);
  return out;
}

}  // namespace pw
