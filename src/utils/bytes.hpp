// Bounds-checked little-endian and big-endian reads over borrowed byte spans.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pw {

using Bytes = std::span<const std::uint8_t>;
using ByteString = std::string;  // raw bytes (names, owned values); never assumed to be text

inline bool fits(Bytes b, std::size_t off, std::size_t n) noexcept { return off <= b.size() && b.size() - off >= n; }

inline std::optional<std::uint8_t> read_u8(Bytes b, std::size_t off) noexcept {
  if (!fits(b, off, 1)) return std::nullopt;
  return b[off];
}

inline std::optional<std::uint16_t> read_u16le(Bytes b, std::size_t off) noexcept {
  if (!fits(b, off, 2)) return std::nullopt;
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}

inline std::optional<std::uint32_t> read_u32le(Bytes b, std::size_t off) noexcept {
  if (!fits(b, off, 4)) return std::nullopt;
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}

inline std::optional<std::uint64_t> read_u64le(Bytes b, std::size_t off) noexcept {
  if (!fits(b, off, 8)) return std::nullopt;
  auto lo = read_u32le(b, off);
  auto hi = read_u32le(b, off + 4);
  return static_cast<std::uint64_t>(*lo) | (static_cast<std::uint64_t>(*hi) << 32);
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
