// One step of UTF-8 decoding (no overlongs, no surrogates, nothing above U+10FFFF), shared by the lossy
// decoder of names, the JSON string writer and the export file names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pw {

struct Utf8Step {
  std::size_t length;  // bytes taken: the whole sequence, or the broken-off prefix of one (at least 1)
  bool valid;
};

// The sequence that starts at s[0] (n >= 1 bytes available). An invalid step covers the maximal prefix of a
// well-formed sequence, which a decoder replaces by one U+FFFD before it goes on with the next byte.
inline Utf8Step utf8_step(const std::uint8_t* s, std::size_t n) noexcept {
  const std::uint8_t c = s[0];
  if (c < 0x80) return {1, true};
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
    return {1, false};
  }
  std::size_t seen = 0;
  while (seen < need && 1 + seen < n) {
    const std::uint8_t b = s[1 + seen];
    if (b < lo || b > hi) break;
    lo = 0x80;
    hi = 0xBF;
    ++seen;
  }
  return {1 + seen, seen == need};
}

}  // namespace pw
