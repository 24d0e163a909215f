#include "multi_value.hpp"

#include <algorithm>

#include "record.hpp"

namespace pw {

MultiValueElements split_multi_value(Bytes body, std::uint8_t flags) {
  MultiValueElements out;
  if (body.empty()) return out;
  if (flags & tagged_flag::kTwoValues) {
    const std::size_t first = std::min<std::size_t>(body[0], body.size() - 1);
    out.elements.push_back({body.subspan(1, first)});
    out.elements.push_back({body.subspan(1 + first)});
    out.cut = body[0] > body.size() - 1;
    return out;
  }
  constexpr std::uint16_t kOffsetMask = 0x7FFF;
  constexpr std::uint16_t kLongValueBit = 0x8000;
  const std::size_t stated = (read_u16le(body, 0).value_or(0) & kOffsetMask) / 2;
  const std::size_t count = std::min<std::size_t>(stated, body.size() / 2);
  out.cut = count < stated;
  std::vector<std::uint16_t> words;
  words.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint16_t word = read_u16le(body, 2 * k).value_or(0);
    const std::size_t start = word & kOffsetMask;
    if (start > body.size() || (!words.empty() && start < (words.back() & kOffsetMask))) {
      out.cut = true;
      break;
    }
    words.push_back(word);
  }
  out.elements.reserve(words.size());
  for (std::size_t k = 0; k < words.size(); ++k) {
    const std::size_t start = words[k] & kOffsetMask;
    const std::size_t end = k + 1 < words.size() ? words[k + 1] & kOffsetMask : body.size();
    out.elements.push_back({body.subspan(start, end - start), (words[k] & kLongValueBit) != 0});
  }
  return out;
}

}  // namespace pw
