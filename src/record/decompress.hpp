// Decompression of compressed column data: 7-bit packing (ASCII and Unicode) and XPRESS (plain LZ77).
// The first byte of a compressed value is its header; the scheme is header >> 3.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../utils/bytes.hpp"

namespace pw {

enum class CompressionScheme : std::uint8_t { None = 0, SevenBitAscii = 1, SevenBitUnicode = 2, Xpress = 3, Unknown };

CompressionScheme compression_scheme(std::uint8_t header) noexcept;

// Unpacks 7-bit units stored LSB-first; emits floor(8n/7) units, dropping leftover bits.
std::vector<std::uint8_t> unpack_7bit(Bytes packed);

// Units of a 7-bit compressed value (header included in `value`), without the padding unit that the
// header's count of valid bits in the last byte marks.
std::vector<std::uint8_t> decompress_7bit_units(Bytes value);

// XPRESS value (header 0x18, u16 size, LZ77 stream): the decompressed bytes, or nothing when the stream
// is corrupt or does not produce exactly the stated size.
std::optional<std::vector<std::uint8_t>> decompress_xpress(Bytes value);

// Any known scheme, to the original bytes (7-bit Unicode units widened to UTF-16LE code units);
// nothing for an unknown scheme or a corrupt stream.
std::optional<std::vector<std::uint8_t>> decompress_to_original(Bytes value);

// Plain LZ77 stream decoder, output exactly `size` bytes or nothing.
std::optional<std::vector<std::uint8_t>> lz77_decompress(Bytes stream, std::size_t size);

// Bytes that LZ77 streams have produced on this thread: what a file may legitimately expand to beyond its own
// size (a few input bytes can state 64 KiB). The amplification fuzz target budgets output with it.
std::uint64_t lz77_output_bytes_on_this_thread() noexcept;

}  // namespace pw
