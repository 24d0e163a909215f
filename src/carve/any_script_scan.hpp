// scan_any_script: the strings of text of any script in one byte range (see
// carve_utf16le_any_script_from_range).
#pragma once

#include <cstddef>
#include <cstdint>

#include "../utils/bytes.hpp"
#include "hit_sink.hpp"

namespace pw {

// Offers to the sink, in order, every string of at least min_chars (>= 1) characters among the code units of
// [pos, stop) of data (pos even, stop <= data.size()), until the sink is full.
void scan_any_script(Bytes data, std::size_t pos, std::size_t stop, std::uint64_t min_chars, HitSink& sink);

}  // namespace pw
