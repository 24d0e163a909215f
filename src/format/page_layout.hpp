// The on-disk layout of a database page: header fields, header sizes, page flags and the tag array words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pw::page_layout {

// The common 40-byte header (every format).
inline constexpr std::size_t kChecksum = 0;               // u64
inline constexpr std::size_t kDatabaseTime = 8;           // u64
inline constexpr std::size_t kPreviousPage = 16;          // u32
inline constexpr std::size_t kNextPage = 20;              // u32
inline constexpr std::size_t kObjectId = 24;              // u32: object id of the tree that owns the page
inline constexpr std::size_t kAvailableData = 28;         // u16
inline constexpr std::size_t kAvailableUncommitted = 30;  // u16
inline constexpr std::size_t kFirstAvailableData = 32;    // u16
inline constexpr std::size_t kTagState = 34;              // u16: tag count and reserved-tag nibble
inline constexpr std::size_t kPageFlags = 36;             // u32
inline constexpr std::size_t kCommonHeaderSize = 40;
// Large pages add three more checksums and the page number (u64 at 64); their data starts at 80.
inline constexpr std::size_t kExtendedHeaderSize = 80;
inline constexpr std::size_t kExtensionSize = kExtendedHeaderSize - kCommonHeaderSize;

// Tag state word: the low 12 bits count the tags, the upper 4 the reserved tags at the start of the array
// (0 counts as 1: tag 0, the page's key prefix).
inline constexpr std::uint16_t kTagCountMask = 0x0FFF;
inline constexpr unsigned kReservedTagShift = 12;

// One tag: a u16 size word then a u16 offset word, 4 bytes each from the page end (tag 0 last).
inline constexpr std::size_t kTagSize = 4;
inline constexpr std::uint16_t kSmallTagFieldMask = 0x1FFF;  // 13-bit size and offset; flags in the top 3
inline constexpr unsigned kSmallTagFlagShift = 13;
inline constexpr std::uint16_t kLargeTagFieldMask = 0x7FFF;  // 15-bit size and offset
// On large pages the tag flags of tags 1.. are the top 3 bits of the entry's second byte.
inline constexpr unsigned kLargeEntryFlagShift = 5;
inline constexpr std::uint8_t kLargeEntryKeyMask = 0x1F;

}  // namespace pw::page_layout
