#include "text_segments.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "../utils/unicode_text.hpp"
#include "unit_window.hpp"

namespace pw {
namespace {

std::uint32_t unit_at(const std::uint8_t* units, std::size_t k) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint16_t unit;
    std::memcpy(&unit, units + 2 * k, sizeof unit);
    return unit;
  } else {
    return units[2 * k] | (static_cast<std::uint32_t>(units[2 * k + 1]) << 8);
  }
}

// What the unit table says of each unit of a window, as masks.
struct EntryMasks {
  std::uint64_t text = 0;
  std::uint64_t high = 0;    // high surrogates
  std::uint64_t low = 0;     // low surrogates
  std::uint64_t parted = 0;  // the unit and the one before it are of two scripts that one run cannot hold
};

// Common (id 0) and Latin (id 1) go with every script; of the others (ids 2 and up) a run holds one. Surrogate
// entries read as ids 0 and 1. `units` are the window's 128 bytes; `script_before` the script id of the unit
// before the window.
EntryMasks entry_masks(const std::uint8_t* units, std::uint8_t script_before) noexcept {
  const std::uint8_t* table = unit_info_table();
  EntryMasks m;
#ifdef PW_CARVE_SSE2
  // The entries of eight units, lane k in byte k: gathered in a register, since bytes stored one by one and
  // loaded as a vector would wait for the stores.
  auto eight_entries = [&](std::size_t from) {
    std::uint64_t lanes = 0;
    for (std::size_t k = 0; k < 8; ++k) lanes |= std::uint64_t{table[unit_at(units, from + k)]} << (8 * k);
    return static_cast<long long>(lanes);
  };
  const __m128i script_bits = _mm_set1_epi8(static_cast<char>(kUnitScriptMask));
  const __m128i latin = _mm_set1_epi8(1);
  const __m128i high = _mm_set1_epi8(static_cast<char>(kUnitHighSurrogate));
  const __m128i low = _mm_set1_epi8(static_cast<char>(kUnitLowSurrogate));
  // The scripts of the previous 16 units; only its last lane (the unit before) is read.
  __m128i previous = _mm_slli_si128(_mm_cvtsi32_si128(script_before), 15);
  for (std::size_t k = 0; k < kWindowUnits / 16; ++k) {
    const __m128i entry = _mm_set_epi64x(eight_entries(16 * k + 8), eight_entries(16 * k));
    const __m128i script = _mm_and_si128(entry, script_bits);
    const __m128i script_before_lane = _mm_or_si128(_mm_slli_si128(script, 1), _mm_srli_si128(previous, 15));
    const __m128i own_scripts =
        _mm_and_si128(_mm_cmpgt_epi8(script, latin), _mm_cmpgt_epi8(script_before_lane, latin));
    const __m128i parted = _mm_andnot_si128(_mm_cmpeq_epi8(script, script_before_lane), own_scripts);
    auto lanes = [k](__m128i flags) {
      return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(flags))) << (16 * k);
    };
    m.text |= lanes(_mm_add_epi8(entry, entry));  // kUnitText is bit 6: doubling moves it to the sign bit
    m.high |= lanes(_mm_cmpeq_epi8(entry, high));
    m.low |= lanes(_mm_cmpeq_epi8(entry, low));
    m.parted |= lanes(parted);
    previous = script;
  }
#else
  for (std::size_t k = 0; k < kWindowUnits; ++k) {
    const std::uint8_t entry = table[unit_at(units, k)];
    const std::uint8_t script = entry & kUnitScriptMask;
    const std::uint64_t bit = std::uint64_t{1} << k;
    if (entry & kUnitText) m.text |= bit;
    if (entry == kUnitHighSurrogate) m.high |= bit;
    if (entry == kUnitLowSurrogate) m.low |= bit;
    if (script > 1 && script_before > 1 && script != script_before) m.parted |= bit;
    script_before = script;
  }
#endif
  return m;
}

bool is_low_surrogate(std::uint32_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

[[gnu::always_inline]] inline SegmentWindow SegmentWindows::window(std::size_t first) noexcept {
  const std::size_t count = std::min<std::size_t>((stop_ - first) / 2, kWindowUnits);
  const std::uint64_t in_range = count == kWindowUnits ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
  // The units past the range's end are read when the buffer holds them (and left out of every mask); a window
  // that the buffer ends in is read from a copy.
  std::array<std::uint8_t, kWindowBytes> copy;
  const std::uint8_t* units = copy.data();
  if (fits(data_, first, kWindowBytes)) {
    units = data_.data() + first;
  } else {
    copy.fill(0);
    for (std::size_t k = 0; k < 2 * count; ++k) copy[k] = data_[first + k];
  }
  EntryMasks m = entry_masks(units, last_script_);
  m.text &= in_range;
  m.high &= in_range;
  m.low &= in_range;

  // A surrogate is text when it is half of a pair; a high one in the last lane pairs with the next window's first
  // unit, a low one in the first lane with the last window's last.
  const std::size_t next = first + kWindowBytes;
  const bool low_next = next + 2 <= stop_ && is_low_surrogate(read_u16le(data_, next).value_or(0));
  const std::uint64_t paired_high = m.high & ((m.low >> 1) | (std::uint64_t{low_next} << 63));
  const std::uint64_t paired_low = m.low & ((m.high << 1) | std::uint64_t{last_high_});

  SegmentWindow window;
  window.text = m.text | paired_high | paired_low;
  window.joined = window.text & ((window.text << 1) | std::uint64_t{last_text_}) & ~m.parted;
  last_script_ = unit_info_table()[unit_at(units, kWindowUnits - 1)] & kUnitScriptMask;
  last_text_ = (window.text >> 63) != 0;
  last_high_ = (m.high >> 63) != 0;
  return window;
}

std::size_t SegmentWindows::next(std::span<SegmentWindow> out) noexcept {
  std::size_t n = 0;
  for (; n < out.size() && next_ + 2 <= stop_; ++n, next_ += kWindowBytes) out[n] = window(next_);
  return n;
}

}  // namespace pw
