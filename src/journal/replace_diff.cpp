#include "replace_diff.hpp"

#include "../log/log_layout.hpp"

namespace pw {

std::optional<std::string> apply_replace_diff(Bytes before, Bytes diff, bool second_form, std::size_t max_size) {
  namespace L = log_layout;
  std::string after;
  std::size_t old_at = 0;  // bytes of the before image consumed
  std::size_t at = 0;      // within the difference
  const auto copy = [&](Bytes part) {
    if (after.size() + part.size() > max_size) return false;
    after.append(reinterpret_cast<const char*>(part.data()), part.size());
    return true;
  };
  while (at < diff.size()) {
    std::size_t offset = 0;
    std::uint8_t flags = 0;
    if (second_form) {
      const auto word = read_u16le(diff, at);
      const auto flag_byte = read_u8(diff, at + 2);
      if (!word || !flag_byte) return std::nullopt;
      offset = *word;
      flags = *flag_byte;
      at += 3;
    } else {
      const auto word = read_u16le(diff, at);
      if (!word) return std::nullopt;
      offset = *word & L::kDiffOffsetMask;
      flags = static_cast<std::uint8_t>(*word >> L::kDiffFlagShift);
      at += 2;
    }
    const bool wide = (flags & L::kDiffTwoByteLengths) != 0;
    const auto read_length = [&]() -> std::optional<std::size_t> {
      const auto v = wide ? read_u16le(diff, at) : std::optional<std::uint16_t>(read_u8(diff, at));
      if (v) at += wide ? 2 : 1;
      return v;
    };
    if (offset < old_at || offset > before.size()) return std::nullopt;
    if (!copy(before.subspan(old_at, offset - old_at))) return std::nullopt;
    old_at = offset;
    const auto new_size = read_length();
    if (!new_size) return std::nullopt;
    std::size_t old_size = 0;
    if (!(flags & L::kDiffInsert)) {
      if (flags & L::kDiffSameLength) {
        old_size = *new_size;
      } else {
        const auto stored = read_length();
        if (!stored) return std::nullopt;
        old_size = *stored;
      }
    }
    if (!fits(diff, at, *new_size) || !fits(before, old_at, old_size)) return std::nullopt;
    if (!copy(diff.subspan(at, *new_size))) return std::nullopt;
    at += *new_size;
    old_at += old_size;
  }
  if (!copy(before.subspan(old_at))) return std::nullopt;
  return after;
}

}  // namespace pw
