#include "tagged_area.hpp"

namespace pw {

void TaggedDirectory::build(Bytes rec, std::size_t tagged_start, bool large) {
  built_ = true;
  const std::size_t len = rec.size();
  if (len <= tagged_start || tagged_start + 4 > len) return;
  const std::uint16_t mask = record_layout::tagged_offset_mask(large);
  const std::size_t dir_end = tagged_start + (read_u16le(rec, tagged_start + 2).value_or(0) & mask);
  if (tagged_start >= dir_end) return;
  raw_.clear();
  for (std::size_t p = tagged_start;; p += 4) {
    const std::uint16_t id = read_u16le(rec, p).value_or(0);
    const std::uint16_t w = read_u16le(rec, p + 2).value_or(0);
    raw_.push_back(
        {id, static_cast<std::uint32_t>(w & mask), 0, large || (w & record_layout::kTaggedHasFlagByte) != 0});
    if (!(p + 8 <= len && p + 4 < dir_end)) break;
  }
  const std::size_t area = len - tagged_start;
  for (std::size_t j = 0; j < raw_.size(); ++j) {
    const std::size_t start = raw_[j].start;
    std::size_t end;
    if (j + 1 == raw_.size()) {
      end = area;
      if (start > end) break;
    } else {
      end = raw_[j + 1].start;
      if (start > end || tagged_start + end > len) continue;
    }
    slots_.push_back({raw_[j].id, static_cast<std::uint32_t>(tagged_start + start),
                      static_cast<std::uint32_t>(tagged_start + end), raw_[j].has_flag_byte});
  }
  if (!std::is_sorted(slots_.begin(), slots_.end(),
                      [](const TaggedSlot& a, const TaggedSlot& b) { return a.id < b.id; }))
    std::stable_sort(slots_.begin(), slots_.end(),
                     [](const TaggedSlot& a, const TaggedSlot& b) { return a.id < b.id; });
}

std::size_t tagged_area_start(Bytes rec, const RecordHeader& h) {
  if (h.last_variable_id < 128) return h.variable_offsets_start;
  const std::size_t count = h.last_variable_id - 127u;
  const std::size_t data_start = h.variable_offsets_start + 2 * count;
  if (data_start > rec.size()) return data_start;
  const auto last = read_u16le(rec, h.variable_offsets_start + 2 * (count - 1));
  return data_start + (last ? (*last & record_layout::kVariableOffsetMask) : 0);
}

}  // namespace pw
