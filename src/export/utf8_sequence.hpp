// Length of the well-formed UTF-8 sequence that starts a byte range, shared by the JSON string writer and the
// export file names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../utils/utf8.hpp"

namespace pw::json {

// Returns 1..4 for a well-formed sequence starting at s[0], 0 when the bytes there do not start one.
// `n` is the number of bytes available from s (at least 1).
inline std::size_t utf8_sequence_length(const std::uint8_t* s, std::size_t n) noexcept {
  const Utf8Step step = utf8_step(s, n);
  return step.valid ? step.length : 0;
}

}  // namespace pw::json
