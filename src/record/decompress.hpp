// Decompression of compressed column data: 7-bit packing (ASCII and Unicode), XPRESS (plain LZ77) and LZ4.
// The first byte of a compressed value is its header; the scheme is header >> 3.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../utils/bytes.hpp"

namespace pw {

// Schemes 4 to 6 are recognised but not decoded: a scrubbed value (the engine overwrote it: the header, then one
// fill byte repeated), Xpress9 (header byte, u32 checksum, stream) and Xpress10 (header byte, u16 size, u32 and
// u64 checksums, stream). LZ4: header byte, u16 uncompressed size, then an LZ4 block.
enum class CompressionScheme : std::uint8_t {
  None = 0,
  SevenBitAscii = 1,
  SevenBitUnicode = 2,
  Xpress = 3,
  Scrubbed = 4,
  Xpress9 = 5,
  Xpress10 = 6,
  Lz4 = 7,
  Unknown,
};

// Why a value has no readable form: the reason its column's typed views give null for it.
enum class Unreadable : std::uint8_t {
  Scrubbed,           // overwritten by the engine
  Xpress9,            // compressed with a scheme this reader does not decode
  Xpress10,
  UnknownScheme,      // a compression header of no known scheme
  CorruptCompressed,  // an XPRESS or LZ4 stream that does not give its stated size
  Encrypted,          // a column whose values the engine encrypted
};
inline constexpr std::size_t kUnreadableKinds = 6;
// "scrubbed", "xpress9", "xpress10", "unknown_compression", "corrupt_compression", "encrypted".
const char* unreadable_name(Unreadable reason) noexcept;

// The reason a compressed value of this scheme cannot be read, or nothing for a scheme that is decoded.
std::optional<Unreadable> undecoded_scheme(CompressionScheme scheme) noexcept;

CompressionScheme compression_scheme(std::uint8_t header) noexcept;

// Unpacks 7-bit units stored LSB-first; emits floor(8n/7) units, dropping leftover bits.
std::vector<std::uint8_t> unpack_7bit(Bytes packed);

// Units of a 7-bit compressed value (header included in `value`), without the padding unit that the
// header's count of valid bits in the last byte marks.
std::vector<std::uint8_t> decompress_7bit_units(Bytes value);

// XPRESS value (header 0x18, u16 size, LZ77 stream): the decompressed bytes, or nothing when the stream
// is corrupt or does not produce exactly the stated size.
std::optional<std::vector<std::uint8_t>> decompress_xpress(Bytes value);

// LZ4 value (header 0x38, u16 size, LZ4 block): the decompressed bytes, or nothing when the block is corrupt or
// ends before the stated size.
std::optional<std::vector<std::uint8_t>> decompress_lz4(Bytes value);

// Any decoded scheme, to the original bytes (7-bit Unicode units widened to UTF-16LE code units);
// nothing for an unknown scheme or a corrupt stream.
std::optional<std::vector<std::uint8_t>> decompress_to_original(Bytes value);

// Plain LZ77 stream decoder, output exactly `size` bytes or nothing.
std::optional<std::vector<std::uint8_t>> lz77_decompress(Bytes stream, std::size_t size);

// LZ4 block decoder: sequences of a token (high nibble: literal count, low nibble: match length - 4; a nibble
// of 15 is followed by bytes added to it, up to one below 255), the literals, then a u16 offset back into the
// output (1 and up) and the match, copied byte by byte (it may overlap itself); the last sequence has literals
// only. Output exactly `size` bytes or nothing; input past them is not read (as the engine reads it).
std::optional<std::vector<std::uint8_t>> lz4_decompress(Bytes block, std::size_t size);

// Bytes that LZ77 and LZ4 streams have produced on this thread: what a file may legitimately expand to beyond
// its own size (a few input bytes can state 64 KiB). The amplification fuzz target budgets output with it.
std::uint64_t expanded_bytes_on_this_thread() noexcept;

}  // namespace pw
