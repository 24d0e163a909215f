// Choosing the file header: block 0, or its shadow copy in block 1 when block 0 is damaged.
#pragma once

#include <cstdint>

#include "utils/bytes.hpp"

namespace pw {

inline constexpr std::size_t kHeaderBlockSize = 4096;

struct HeaderBlock {
  Bytes bytes;  // kHeaderBlockSize bytes
  bool shadow = false;
};

// XOR of the u32 words in [8, 4096) of a header block, starting from 0: what its first u32 should hold.
std::uint32_t header_checksum(Bytes block) noexcept;

// The primary header (the file's first kHeaderBlockSize bytes, which it must hold), unless its checksum is
// wrong or its page size is none of 4, 8, 16 and 32 KiB and the file holds an intact shadow: a block at the
// offset of its own page size with the signature, a right checksum and that page size.
HeaderBlock choose_header(Bytes file) noexcept;

}  // namespace pw
