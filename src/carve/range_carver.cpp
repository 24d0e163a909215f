#include "range_carver.hpp"

#include <algorithm>
#include <bit>

#include "any_script_scan.hpp"
#include "hit_sink.hpp"
#include "unit_window.hpp"

namespace pw {
namespace {

inline bool is_text_unit(std::uint8_t low, std::uint8_t high) noexcept {
  return high == 0 && low >= 0x20 && low <= 0x7E;
}

// Bit k is set when the code unit at p[2k], p[2k+1] is printable ASCII (0x0020..0x007E). Reads exactly
// kWindowBytes bytes from p; the caller has checked that they lie inside the buffer.
std::uint64_t text_mask_window(const std::uint8_t* p) noexcept {
#ifdef PW_CARVE_SSE2
  const __m128i bias = _mm_set1_epi16(0x20);
  const __m128i span = _mm_set1_epi16(0x7E - 0x20);
  const __m128i zero = _mm_setzero_si128();
  std::uint64_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32 * k));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32 * k + 16));
    // u - 0x20 (wrapping) is at most 0x5E exactly when u is in 0x20..0x7E; the saturating subtraction of
    // 0x5E leaves zero in those lanes only.
    lo = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(lo, bias), span), zero);
    hi = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(hi, bias), span), zero);
    // Lanes are 0xFFFF or 0: packing to bytes keeps one byte per unit, in unit order.
    const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(lo, hi)));
    mask |= static_cast<std::uint64_t>(bits) << (16 * k);
  }
  return mask;
#else
  // Four units per 64-bit word: flag bit 15 of each 16-bit lane, computed without carries between lanes.
  constexpr std::uint64_t kLow15 = 0x7FFF7FFF7FFF7FFFULL;
  constexpr std::uint64_t kTopBits = 0x8000800080008000ULL;
  constexpr std::uint64_t kAtLeast20 = 0x7FE07FE07FE07FE0ULL;  // x + 0x7FE0 reaches 0x8000 iff x >= 0x20
  constexpr std::uint64_t kAtMost7E = 0x807E807E807E807EULL;   // 0x807E - x stays >= 0x8000 iff x <= 0x7E
  std::uint64_t mask = 0;
  for (std::size_t w = 0; w < kWindowBytes / 8; ++w) {
    std::uint64_t word = 0;
    for (std::size_t b = 8; b-- > 0;) word = (word << 8) | p[8 * w + b];
    const std::uint64_t x = word & kLow15;
    const std::uint64_t ok = (x + kAtLeast20) & (kAtMost7E - x) & ~word & kTopBits;
    const std::uint64_t nibble = ((ok >> 15) & 1) | ((ok >> 30) & 2) | ((ok >> 45) & 4) | ((ok >> 60) & 8);
    mask |= nibble << (4 * w);
  }
  return mask;
#endif
}

// Classifies the code units of [pos, stop) of a buffer from its bytes, up to 64 at a time.
class UnitClassifier {
 public:
  UnitClassifier(Bytes data, std::size_t stop) noexcept : data_(data), stop_(stop) {}

  // Mask of the units at pos, pos + 2, ... that lie wholly before stop (at most 64; missing units read as
  // non-text). pos is even and pos + 2 <= stop.
  std::uint64_t mask_at(std::size_t pos) const noexcept {
    const std::size_t units = std::min<std::size_t>((stop_ - pos) / 2, kWindowUnits);
    std::uint64_t mask = 0;
    if (fits(data_, pos, kWindowBytes)) {
      mask = text_mask_window(data_.data() + pos);
    } else if (data_.size() >= kWindowBytes) {
      // Near the buffer's end: classify the last whole window that starts at an even position and shift.
      // pos + 128 > size >= base + 128 and pos <= size - 2 keep the shift in 1..63.
      const std::size_t base = (data_.size() - kWindowBytes) & ~std::size_t{1};
      const std::size_t shift = (pos - base) / 2;
      mask = shift < kWindowUnits ? text_mask_window(data_.data() + base) >> shift : 0;
    } else {
      for (std::size_t k = 0; k < units; ++k) {
        if (is_text_unit(data_[pos + 2 * k], data_[pos + 2 * k + 1])) mask |= std::uint64_t{1} << k;
      }
    }
    if (units < kWindowUnits) mask &= (std::uint64_t{1} << units) - 1;
    return mask;
  }

 private:
  Bytes data_;
  std::size_t stop_;
};

// Reads the classification of the units of [pos, stop) from a precomputed map.
class MappedClassifier {
 public:
  MappedClassifier(const TextUnitMap& map, std::size_t stop) noexcept : map_(map), stop_(stop) {}

  std::uint64_t mask_at(std::size_t pos) const noexcept {
    const std::size_t units = std::min<std::size_t>((stop_ - pos) / 2, kWindowUnits);
    const std::uint64_t mask = map_.window(pos);
    return units < kWindowUnits ? mask & ((std::uint64_t{1} << units) - 1) : mask;
  }

 private:
  const TextUnitMap& map_;
  std::size_t stop_;
};

// Every maximal run of text units in [pos, stop) with at least min_chars units (min_chars >= 1), in order.
// This is what the unit-by-unit walk reports: a shorter run is stepped through and left, and after a run
// the walk resumes past the unit that ended it. Windows without text units are skipped whole.
template <class Classifier>
void scan_runs(const Classifier& units, std::size_t pos, std::size_t stop, std::uint64_t min_chars, HitSink& sink) {
  while (pos + 2 <= stop) {
    std::uint64_t mask = units.mask_at(pos);
    std::size_t next = pos + kWindowBytes;
    while (mask != 0) {
      const auto k = static_cast<unsigned>(std::countr_zero(mask));
      const auto len = static_cast<unsigned>(std::countr_zero(~(mask >> k)));
      const std::size_t s = pos + 2 * std::size_t{k};
      std::size_t e = s + 2 * std::size_t{len};
      if (k + len == kWindowUnits) {
        // The run reaches the end of the window: follow it through the next windows.
        while (e + 2 <= stop) {
          const auto more = static_cast<unsigned>(std::countr_zero(~units.mask_at(e)));
          e += 2 * std::size_t{more};
          if (more < kWindowUnits) break;
        }
        next = e + 2;
        mask = 0;
      } else {
        mask &= ~((std::uint64_t{2} << (k + len)) - 1);  // drop the run and the unit that ended it
      }
      if ((e - s) / 2 >= min_chars && sink.offer(s, e)) return;
    }
    pos = next;
  }
}

// The plain walk, for a minimum of 0 characters: then every position that is not inside a reported run
// yields a record, an empty one where no run starts.
void scan_every_position(Bytes data, std::size_t pos, std::size_t stop, HitSink& sink) {
  while (pos + 2 <= stop) {
    std::size_t p = pos;
    while (p + 2 <= stop && is_text_unit(data[p], data[p + 1])) p += 2;
    if (sink.offer(pos, p)) return;
    pos = p + 2;
  }
}

// Both forms of the scan: the range checks, the odd start, and the choice of walk.
template <class MakeClassifier>
void carve_range(Bytes data, MakeClassifier&& make_classifier, std::uint32_t page, std::uint64_t start,
                 std::uint64_t end, std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                 const SharedName& table, const std::optional<std::string>& needle, std::uint64_t min_chars,
                 std::uint64_t max_hits, std::vector<CarvedString>& hits, bool any_script = false) {
  if (start >= end || end - start < 2) return;
  HitSink sink(page, data, start, end, region_kind, page_flags, page_type, table, needle, max_hits, hits);
  if (sink.full()) return;
  // Code units are read at even positions of the buffer only.
  const std::uint64_t stop = std::min<std::uint64_t>(end, data.size());
  const std::uint64_t first = start + (start & 1);
  if (first + 2 > stop) return;
  if (any_script) {
    if (!sink.may_hold_needle(data.subspan(first, stop - first))) return;
    scan_any_script(data, first, stop, std::max<std::uint64_t>(min_chars, 1), sink);
  } else if (min_chars == 0) {
    scan_every_position(data, first, stop, sink);
  } else {
    scan_runs(make_classifier(stop), first, stop, min_chars, sink);
  }
}

}  // namespace

void TextUnitMap::assign(Bytes data) {
  data_ = data;
  const std::size_t units = data.size() / 2;
  words_.resize((units + kWindowUnits - 1) / kWindowUnits);
  const UnitClassifier classify(data, data.size());
  for (std::size_t w = 0; w < words_.size(); ++w) words_[w] = classify.mask_at(w * kWindowBytes);
}

std::uint64_t TextUnitMap::window(std::size_t pos) const noexcept {
  const std::size_t unit = pos / 2;
  const std::size_t word = unit / kWindowUnits;
  const std::size_t shift = unit % kWindowUnits;
  if (word >= words_.size()) return 0;
  std::uint64_t mask = words_[word] >> shift;
  if (shift != 0 && word + 1 < words_.size()) mask |= words_[word + 1] << (kWindowUnits - shift);
  return mask;
}

void carve_utf16le_from_range(std::uint32_t page, Bytes data, std::uint64_t start, std::uint64_t end,
                              std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                              const SharedName& table, const std::optional<std::string>& needle,
                              std::uint64_t min_chars, std::uint64_t max_hits, std::vector<CarvedString>& hits) {
  carve_range(
      data, [&](std::size_t stop) { return UnitClassifier(data, stop); }, page, start, end, region_kind, page_flags,
      page_type, table, needle, min_chars, max_hits, hits);
}

void carve_utf16le_from_range(const TextUnitMap& map, std::uint32_t page, std::uint64_t start, std::uint64_t end,
                              std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                              const SharedName& table, const std::optional<std::string>& needle,
                              std::uint64_t min_chars, std::uint64_t max_hits, std::vector<CarvedString>& hits) {
  carve_range(
      map.data(), [&](std::size_t stop) { return MappedClassifier(map, stop); }, page, start, end, region_kind,
      page_flags, page_type, table, needle, min_chars, max_hits, hits);
}

void carve_utf16le_any_script_from_range(std::uint32_t page, Bytes data, std::uint64_t start, std::uint64_t end,
                                         std::string_view region_kind, std::uint32_t page_flags,
                                         std::string_view page_type, const SharedName& table,
                                         const std::optional<std::string>& needle, std::uint64_t min_chars,
                                         std::uint64_t max_hits, std::vector<CarvedString>& hits) {
  carve_range(
      data, [&](std::size_t stop) { return UnitClassifier(data, stop); }, page, start, end, region_kind, page_flags,
      page_type, table, needle, min_chars, max_hits, hits, true);
}

}  // namespace pw
