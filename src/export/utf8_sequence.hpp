// Length of the well-formed UTF-8 sequence that starts a byte range (no overlongs, no surrogates, at most
// U+10FFFF), shared by the JSON string writer and the export file names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pw::json {

// Returns 1..4 for a well-formed sequence starting at s[0], 0 when the bytes there do not start one.
// `n` is the number of bytes available from s (at least 1).
inline std::size_t utf8_sequence_length(const std::uint8_t* s, std::size_t n) noexcept {
  const std::uint8_t c = s[0];
  if (c < 0x80) return 1;
  std::size_t need = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < need + 1) return 0;
  if (s[1] < lo || s[1] > hi) return 0;
  for (std::size_t k = 2; k <= need; ++k) {
    if (s[k] < 0x80 || s[k] > 0xBF) return 0;
  }
  return need + 1;
}

}  // namespace pw::json
