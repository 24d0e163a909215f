// The elements of a multi-valued tagged value.
#pragma once

#include <cstdint>
#include <vector>

#include "../utils/bytes.hpp"

namespace pw {

struct MultiValueElement {
  Bytes data;
  bool long_value = false;  // data is a reference to a separated long value
};

// Splits the bytes after a multi-value's flag byte: the u16 offset form (count = first offset / 2; offset bit
// 0x8000 marks a long-value reference) or, with the two-value flag, byte 0 = length of the first value. Offsets
// out of order or past the end are clamped, so the elements never hold more than `body`.
std::vector<MultiValueElement> split_multi_value(Bytes body, std::uint8_t tagged_flags);

}  // namespace pw
