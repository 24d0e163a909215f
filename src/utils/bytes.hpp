// Bounds-checked little-endian and big-endian reads over borrowed byte spans.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pw {

using Bytes = std::span<const std::uint8_t>;
using ByteString = std::string;  // raw bytes (names, owned values); never assumed to be text

inline bool fits(Bytes b, std::size_t off, std::size_t n) noexcept { return off <= b.size() && b.size() - off >= n; }

// The unsigned little-endian integer of sizeof(T) bytes at `off`: one load after the bounds check on a
// little-endian host.
template <class T>
std::optional<T> read_le(Bytes b, std::size_t off) noexcept {
  if (!fits(b, off, sizeof(T))) return std::nullopt;
  if constexpr (std::endian::native == std::endian::little) {
    T value;
    std::memcpy(&value, b.data() + off, sizeof value);
    return value;
  } else {
    T value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | b[off + i]);
    return value;
  }
}

inline std::optional<std::uint8_t> read_u8(Bytes b, std::size_t off) noexcept { return read_le<std::uint8_t>(b, off); }
inline std::optional<std::uint16_t> read_u16le(Bytes b, std::size_t off) noexcept {
  return read_le<std::uint16_t>(b, off);
}
inline std::optional<std::uint32_t> read_u32le(Bytes b, std::size_t off) noexcept {
  return read_le<std::uint32_t>(b, off);
}
inline std::optional<std::uint64_t> read_u64le(Bytes b, std::size_t off) noexcept {
  return read_le<std::uint64_t>(b, off);
}

// N consecutive little-endian integers of sizeof(T) bytes from `off`, after one bounds check (a run of words
// that a loop reads whole, such as a checksum's).
template <class T, std::size_t N>
std::optional<std::array<T, N>> read_le_array(Bytes b, std::size_t off) noexcept {
  if (!fits(b, off, sizeof(T) * N)) return std::nullopt;
  std::array<T, N> values;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(values.data(), b.data() + off, sizeof values);
  } else {
    for (std::size_t k = 0; k < N; ++k) values[k] = *read_le<T>(b, off + k * sizeof(T));
  }
  return values;
}

inline std::optional<std::uint32_t> read_u32be(Bytes b, std::size_t off) noexcept {
  if (!fits(b, off, 4)) return std::nullopt;
  return (static_cast<std::uint32_t>(b[off]) << 24) | (static_cast<std::uint32_t>(b[off + 1]) << 16) |
         (static_cast<std::uint32_t>(b[off + 2]) << 8) | static_cast<std::uint32_t>(b[off + 3]);
}

inline Bytes as_bytes(const ByteString& s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

inline ByteString to_byte_string(Bytes b) { return ByteString(reinterpret_cast<const char*>(b.data()), b.size()); }

}  // namespace pw
