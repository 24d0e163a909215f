#include "multi_value.hpp"

#include <algorithm>

#include "record.hpp"

namespace pw {

std::vector<MultiValueElement> split_multi_value(Bytes body, std::uint8_t flags) {
  std::vector<MultiValueElement> out;
  if (body.empty()) return out;
  if (flags & tagged_flag::kTwoValues) {
    const std::size_t first = std::min<std::size_t>(body[0], body.size() - 1);
    out.push_back({body.subspan(1, first)});
    out.push_back({body.subspan(1 + first)});
    return out;
  }
  constexpr std::uint16_t kOffsetMask = 0x7FFF;
  constexpr std::uint16_t kLongValueBit = 0x8000;
  const std::size_t count = std::min<std::size_t>((read_u16le(body, 0).value_or(0) & kOffsetMask) / 2, body.size() / 2);
  out.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint16_t word = read_u16le(body, 2 * k).value_or(0);
    const std::size_t start = std::min<std::size_t>(word & kOffsetMask, body.size());
    std::size_t end = body.size();
    if (k + 1 < count) end = std::min<std::size_t>(read_u16le(body, 2 * (k + 1)).value_or(0) & kOffsetMask, end);
    out.push_back({body.subspan(start, end > start ? end - start : 0), (word & kLongValueBit) != 0});
  }
  return out;
}

}  // namespace pw
