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

struct MultiValueElements {
  std::vector<MultiValueElement> elements;
  bool cut = false;  // an element offset went back or past the end: the list ends before it
};

// Splits the bytes after a multi-value's flag byte: the u16 offset form (count = first offset / 2; offset bit
// 0x8000 marks a long-value reference) or, with the two-value flag, byte 0 = length of the first value. The
// engine writes the offsets ascending; the first that goes back (or lies past the end) ends the list, the
// element before it running to the end as a last one does, so the elements together never hold more than
// `body` (overlapping elements would repeat its bytes once per offset).
MultiValueElements split_multi_value(Bytes body, std::uint8_t tagged_flags);

}  // namespace pw
