// The log engine's small structures that the database header, the log and checkpoint headers and the log
// records share: a log time (LOGTIME), a log position (LGPOS) and a signature (SIGNATURE).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "../utils/bytes.hpp"

namespace pw {

namespace log_fields {
// LOGTIME: seconds, minutes, hours, day, month (1-12), years since 1900, then a byte whose bit 0 says the
// time is UTC and whose upper 7 bits are the low bits of the milliseconds, then a byte whose bits 1-3 are the
// high bits of the milliseconds.
inline constexpr std::size_t kLogTimeSize = 8;
// LGPOS: u16 byte offset in the sector, u16 sector, u32 generation.
inline constexpr std::size_t kLogPositionSize = 8;
// SIGNATURE: u32 random number, the LOGTIME of creation, the computer name (16 bytes, NUL-padded).
inline constexpr std::size_t kSignatureSize = 28;
inline constexpr std::size_t kSignatureTime = 4;
inline constexpr std::size_t kSignatureComputerName = 12;
inline constexpr std::size_t kComputerNameSize = 16;
}  // namespace log_fields

struct LogTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int millisecond = 0;
  bool utc = false;
};

// A place in the logs: generation, sector within its file, byte within the sector.
struct LogPosition {
  std::uint32_t generation = 0;
  std::uint16_t sector = 0;
  std::uint16_t block = 0;

  auto key() const noexcept { return (std::uint64_t{generation} << 32) | (std::uint32_t{sector} << 16) | block; }
  friend bool operator==(const LogPosition& a, const LogPosition& b) noexcept { return a.key() == b.key(); }
  friend bool operator<(const LogPosition& a, const LogPosition& b) noexcept { return a.key() < b.key(); }
};

// Identifies a database or a log stream; two files belong together when their signatures are equal byte for byte.
struct LogSignature {
  std::array<std::uint8_t, log_fields::kSignatureSize> raw{};
  std::uint32_t random = 0;
  std::optional<LogTime> created;

  bool is_set() const noexcept;                  // any byte nonzero
  std::string_view computer_name() const noexcept;  // raw bytes up to the first NUL
  friend bool operator==(const LogSignature& a, const LogSignature& b) noexcept { return a.raw == b.raw; }
};

// Nothing when the day, month and year bytes are all zero (no time recorded) or the bytes lie outside `b`.
std::optional<LogTime> parse_log_time(Bytes b, std::size_t at) noexcept;
LogPosition parse_log_position(Bytes b, std::size_t at) noexcept;
LogSignature parse_signature(Bytes b, std::size_t at) noexcept;

}  // namespace pw
