// decode_string: column text by codepage (1200 UTF-16LE, 1252/20127 windows-1252), with byte-order-mark
// sniffing and replacement of malformed sequences.
#pragma once

#include <cstdint>
#include <string>

#include "../result.hpp"
#include "bytes.hpp"

namespace pw {

inline constexpr std::uint32_t kCodepageUnicode = 1200;
inline constexpr std::uint32_t kCodepageWestern = 1252;
inline constexpr std::uint32_t kCodepageAscii = 20127;

Result<std::string> decode_string(Bytes bytes, std::uint32_t codepage);
// The same, appended to `out` (whose storage a caller can reuse); false, nothing appended, for an unknown
// codepage.
bool decode_string_into(Bytes bytes, std::uint32_t codepage, std::string& out);

bool is_known_codepage(std::uint32_t codepage) noexcept;

// Appends the UTF-8 form of a code point.
void append_utf8(std::string& out, std::uint32_t cp);

}  // namespace pw
