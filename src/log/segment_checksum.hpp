// The checksum of a log segment: the database page checksum of the new form (page flag 0x2000) over the 4 096
// bytes, with the segment's sector number as the page number.
#pragma once

#include <cstdint>

#include "../utils/bytes.hpp"

namespace pw {

// The u64 a segment should carry at offset 0: the ECC (a Hsiao code over the block's rows and columns of bits) in
// the high 32 bits, the XOR of the block's u32 words (the first two, the checksum itself, left out) with the
// sector number in the low 32. `segment` holds a whole number of 16-byte rows (a segment: 4 096 bytes).
std::uint64_t segment_checksum(Bytes segment, std::uint32_t sector) noexcept;

}  // namespace pw
