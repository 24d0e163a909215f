// The on-disk layout of a data record: its 4-byte header, variable offsets and the tagged directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../utils/bytes.hpp"

namespace pw::record_layout {

// Header: last fixed column id (u8), last variable column id (u8; 127 = none), offset of the variable offsets
// (u16); the fixed data follows.
inline constexpr std::size_t kLastFixedId = 0;
inline constexpr std::size_t kLastVariableId = 1;
inline constexpr std::size_t kVariableOffsetsStart = 2;
inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::uint32_t kFirstVariableId = 128;
inline constexpr std::uint32_t kFirstTaggedId = 256;

// Variable offsets: u16 end offsets, cumulative; the top bit marks a column without a value.
inline constexpr std::uint16_t kVariableOffsetMask = 0x7FFF;
inline constexpr std::uint16_t kVariableNull = 0x8000;

// Tagged directory: 4-byte entries (u16 column id, u16 offset word). The offset takes 13 bits on small pages,
// where bit 0x4000 says the value starts with a flag byte and bit 0x2000 that the column was set to null over
// its default (a record of a small page is under 8 KiB); 15 bits on large pages, where every value has a flag
// byte and its bit 0x20 says null. Bit 0x8000 marks a column derived from a template table. A null so stated
// holds no bytes, so it reads as Null and the column's default does not apply.
inline constexpr std::uint16_t kTaggedOffsetMaskSmall = 0x1FFF;
inline constexpr std::uint16_t kTaggedOffsetMaskLarge = 0x7FFF;
inline constexpr std::uint16_t kTaggedHasFlagByte = 0x4000;
inline constexpr std::size_t kTaggedEntrySize = 4;

inline std::uint16_t tagged_offset_mask(bool large_page_mode) noexcept {
  return large_page_mode ? kTaggedOffsetMaskLarge : kTaggedOffsetMaskSmall;
}

struct RecordHeader {
  std::uint8_t last_fixed_id = 0;
  std::uint8_t last_variable_id = 0;
  std::uint16_t variable_offsets_start = 0;
};

// The header of a record; all zero for a record shorter than the header.
inline RecordHeader read_record_header(Bytes record) noexcept {
  if (record.size() < kHeaderSize) return {};
  return {read_u8(record, kLastFixedId).value_or(0), read_u8(record, kLastVariableId).value_or(0),
          read_u16le(record, kVariableOffsetsStart).value_or(0)};
}

}  // namespace pw::record_layout
