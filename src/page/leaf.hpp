// LeafEntry: key and data of an entry on a leaf page (views into the page or a cleaned copy of the entry).
#pragma once

#include <cstdint>
#include <optional>

#include "../result.hpp"
#include "../utils/bytes.hpp"

namespace pw {

inline constexpr std::uint8_t kTagFlagCommonKey = 0x04;

// The first u16 of an entry, with the large-page tag-flag bits (top 3 bits of byte 1) cleared if asked.
inline std::uint16_t entry_first_word(Bytes entry, bool clear_flag_bits) {
  const std::uint16_t w = read_u16le(entry, 0).value_or(0);
  return clear_flag_bits ? static_cast<std::uint16_t>(w & 0x1FFF) : w;
}

struct LeafEntry {
  Bytes key;
  Bytes data;
  std::optional<std::uint16_t> common_key_size;
  std::uint16_t local_key_size = 0;

  // clear_flag_bits: large-page entries keep their tag flags in the top 3 bits of the second byte;
  // reading with them cleared equals parsing the cleaned copy that extract_tag_owned makes.
  static Result<LeafEntry> parse(std::uint8_t tag_flags, Bytes entry, bool clear_flag_bits = false);
  // The same without the error's text: what the walks use, which only count the entries they pass over.
  static std::optional<LeafEntry> try_parse(std::uint8_t tag_flags, Bytes entry, bool clear_flag_bits) noexcept;
};

}  // namespace pw
