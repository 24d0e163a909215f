#include "decompress.hpp"

#include <algorithm>
#include <cstdint>

namespace pw {

CompressionScheme compression_scheme(std::uint8_t header) noexcept {
  switch (header >> 3) {
    case 0:
      return CompressionScheme::None;
    case 1:
      return CompressionScheme::SevenBitAscii;
    case 2:
      return CompressionScheme::SevenBitUnicode;
    case 3:
      return CompressionScheme::Xpress;
    case 4:
      return CompressionScheme::Scrubbed;
    case 5:
      return CompressionScheme::Xpress9;
    case 6:
      return CompressionScheme::Xpress10;
    case 7:
      return CompressionScheme::Lz4;
    default:
      return CompressionScheme::Unknown;
  }
}

std::optional<Unreadable> undecoded_scheme(CompressionScheme scheme) noexcept {
  switch (scheme) {
    case CompressionScheme::Scrubbed:
      return Unreadable::Scrubbed;
    case CompressionScheme::Xpress9:
      return Unreadable::Xpress9;
    case CompressionScheme::Xpress10:
      return Unreadable::Xpress10;
    case CompressionScheme::Unknown:
      return Unreadable::UnknownScheme;
    default:
      return std::nullopt;
  }
}

const char* unreadable_name(Unreadable reason) noexcept {
  switch (reason) {
    case Unreadable::Scrubbed:
      return "scrubbed";
    case Unreadable::Xpress9:
      return "xpress9";
    case Unreadable::Xpress10:
      return "xpress10";
    case Unreadable::UnknownScheme:
      return "unknown_compression";
    case Unreadable::CorruptCompressed:
      return "corrupt_compression";
    case Unreadable::Encrypted:
      return "encrypted";
  }
  return "unknown";
}

namespace {
thread_local std::uint64_t t_expanded_bytes = 0;
}  // namespace

std::vector<std::uint8_t> unpack_7bit(Bytes packed) {
  std::vector<std::uint8_t> out;
  out.reserve(packed.size() * 8 / 7);
  std::uint32_t acc = 0;
  unsigned bits = 0;
  for (std::uint8_t b : packed) {
    acc |= static_cast<std::uint32_t>(b) << bits;
    bits += 8;
    while (bits >= 7) {
      out.push_back(static_cast<std::uint8_t>(acc & 0x7F));
      acc >>= 7;
      bits -= 7;
    }
  }
  return out;
}

std::vector<std::uint8_t> decompress_7bit_units(Bytes value) {
  if (value.empty()) return {};
  const Bytes packed = value.subspan(1);
  std::vector<std::uint8_t> units = unpack_7bit(packed);
  const std::size_t n = packed.size();
  if (n > 0) {
    const std::size_t valid_bits = (n - 1) * 8 + (value[0] & 7u) + 1;
    if (valid_bits / 7 + 1 == units.size() && units.back() == 0) units.pop_back();
  }
  return units;
}

std::optional<std::vector<std::uint8_t>> lz77_decompress(Bytes in, std::size_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(size);
  std::size_t pos = 0;
  std::uint32_t flags = 0;
  unsigned flag_count = 0;
  constexpr std::size_t kNoNibble = SIZE_MAX;  // no half-used length byte pending
  std::size_t nibble_pos = kNoNibble;
  while (out.size() < size) {
    if (flag_count == 0) {
      const auto f = read_u32le(in, pos);
      if (!f) break;
      flags = *f;
      pos += 4;
      flag_count = 32;
    }
    --flag_count;
    if (((flags >> flag_count) & 1u) == 0) {
      if (pos >= in.size()) break;
      out.push_back(in[pos++]);
      continue;
    }
    const auto m = read_u16le(in, pos);
    if (!m) break;
    pos += 2;
    const std::size_t offset = (*m >> 3) + 1u;
    std::uint64_t length = *m & 7u;
    if (length == 7) {
      if (nibble_pos == kNoNibble) {
        if (pos >= in.size()) return std::nullopt;
        nibble_pos = pos++;
        length = in[nibble_pos] & 0x0Fu;
      } else {
        length = in[nibble_pos] >> 4;
        nibble_pos = kNoNibble;
      }
      if (length == 15) {
        const auto byte = read_u8(in, pos);
        if (!byte) return std::nullopt;
        pos += 1;
        length = *byte;
        if (length == 255) {
          const auto word = read_u16le(in, pos);
          if (!word) return std::nullopt;
          pos += 2;
          length = *word;
          if (length == 0) {
            const auto dword = read_u32le(in, pos);
            if (!dword) return std::nullopt;
            pos += 4;
            length = *dword;
          }
          if (length < 22) return std::nullopt;
          length -= 22;
        }
        length += 15;
      }
      length += 7;
    }
    length += 3;
    if (offset > out.size()) return std::nullopt;
    const std::uint64_t room = size - out.size();
    if (length > room) length = room;
    std::size_t from = out.size() - offset;
    for (std::uint64_t k = 0; k < length; ++k) out.push_back(out[from++]);
  }
  if (out.size() != size) return std::nullopt;
  t_expanded_bytes += out.size();
  return out;
}

std::optional<std::vector<std::uint8_t>> lz4_decompress(Bytes in, std::size_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(size);
  std::size_t pos = 0;
  // Adds the bytes that follow a nibble of 15 to `length`; each is consumed, so a run ends with the input.
  const auto extend = [&](std::size_t& length) {
    for (;;) {
      const auto more = read_u8(in, pos);
      if (!more) return false;
      ++pos;
      length += *more;
      if (*more != 255) return true;
    }
  };
  while (out.size() < size) {
    const auto token = read_u8(in, pos);
    if (!token) return std::nullopt;
    ++pos;
    std::size_t literals = *token >> 4;
    if (literals == 15 && !extend(literals)) return std::nullopt;
    const std::size_t take = std::min(literals, size - out.size());
    if (!fits(in, pos, take)) return std::nullopt;
    const Bytes run = in.subspan(pos, take);
    out.insert(out.end(), run.begin(), run.end());
    if (out.size() == size) break;
    pos += literals;
    const auto offset = read_u16le(in, pos);
    if (!offset || *offset == 0 || *offset > out.size()) return std::nullopt;
    pos += 2;
    std::size_t match = (*token & 0x0Fu) + 4u;
    if ((*token & 0x0Fu) == 15 && !extend(match)) return std::nullopt;
    match = std::min(match, size - out.size());
    std::size_t from = out.size() - *offset;
    for (std::size_t k = 0; k < match; ++k) out.push_back(out[from++]);
  }
  t_expanded_bytes += out.size();
  return out;
}

std::uint64_t expanded_bytes_on_this_thread() noexcept { return t_expanded_bytes; }

std::optional<std::vector<std::uint8_t>> decompress_xpress(Bytes value) {
  const auto size = read_u16le(value, 1);
  if (value.empty() || !size) return std::nullopt;
  return lz77_decompress(value.subspan(3), *size);
}

std::optional<std::vector<std::uint8_t>> decompress_lz4(Bytes value) {
  const auto size = read_u16le(value, 1);
  if (!size) return std::nullopt;
  return lz4_decompress(value.subspan(3), *size);
}

std::optional<std::vector<std::uint8_t>> decompress_to_original(Bytes value) {
  if (value.empty()) return std::nullopt;
  switch (compression_scheme(value[0])) {
    case CompressionScheme::SevenBitAscii:
      return decompress_7bit_units(value);
    case CompressionScheme::SevenBitUnicode: {
      const auto units = decompress_7bit_units(value);
      std::vector<std::uint8_t> wide;
      wide.reserve(units.size() * 2);
      for (std::uint8_t u : units) {
        wide.push_back(u);
        wide.push_back(0);
      }
      return wide;
    }
    case CompressionScheme::Xpress:
      return decompress_xpress(value);
    case CompressionScheme::Lz4:
      return decompress_lz4(value);
    default:
      return std::nullopt;
  }
}

}  // namespace pw
