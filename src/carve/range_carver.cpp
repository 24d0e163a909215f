#include "range_carver.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "../utils/text.hpp"
#include "../utils/unicode_text.hpp"

#if defined(__SSE2__) && !defined(PAGEWRIGHT_PORTABLE_CARVE)
#include <emmintrin.h>
#define PW_CARVE_SSE2 1
#endif

namespace pw {
namespace {

// The scanner classifies code units 64 at a time: one window is 128 bytes and yields a 64-bit mask.
constexpr std::size_t kWindowUnits = 64;
constexpr std::size_t kWindowBytes = 2 * kWindowUnits;
// Characters at either end of a run of any script that may be left out as stray bytes around the string.
constexpr std::size_t kMaxStrayChars = 6;

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

// Appends the records of one range: holds the copied page context and applies the needle and the limit.
class HitSink {
 public:
  HitSink(std::uint32_t page, Bytes data, std::uint64_t start, std::uint64_t end, std::string_view region_kind,
          std::uint32_t page_flags, std::string_view page_type, const SharedName& table,
          const std::optional<std::string>& needle, std::uint64_t max_hits, std::vector<CarvedString>& hits)
      : page_(page),
        data_(data),
        start_(start),
        end_(end),
        region_kind_(region_kind),
        page_flags_(page_flags),
        page_type_(page_type),
        table_(table),
        max_hits_(max_hits),
        hits_(hits) {
    if (needle && !needle->empty()) needle_ = *needle;
  }

  bool full() const noexcept { return hits_.size() >= max_hits_; }

  // Offers the run of code units [s, e) (byte positions, both even, every unit printable); returns true
  // once the hit list is full.
  bool offer(std::size_t s, std::size_t e) {
    const Bytes run = data_.subspan(s, e - s);
    const std::size_t chars = run.size() / 2;
    if (!needle_.empty() && !contains_needle(run, chars)) return false;
    CarvedString hit;
    hit.page = page_;
    hit.offset = s;
    hit.slack_start = start_;
    hit.slack_end = end_;
    hit.region_kind.assign(region_kind_);
    hit.page_flags = page_flags_;
    hit.page_type.assign(page_type_);
    hit.table = table_;
    hit.text.resize(chars);
    for (std::size_t i = 0; i < chars; ++i) hit.text[i] = static_cast<char>(run[2 * i]);
    hits_.push_back(std::move(hit));
    return full();
  }

  // Offers the run starting at s whose text (UTF-8) is given; returns true once the hit list is full.
  bool offer_text(std::size_t s, const std::string& text) {
    if (!needle_.empty() && text.find(needle_) == std::string::npos) return false;
    hits_.push_back({page_, s, start_, end_, std::string(region_kind_), page_flags_, std::string(page_type_), table_,
                     text});
    return full();
  }

 private:
  // The run's text is the low bytes of its units; the needle (UTF-8) can only match ASCII bytes there.
  bool contains_needle(Bytes run, std::size_t chars) const noexcept {
    const std::size_t n = needle_.size();
    if (n > chars) return false;
    const auto first = static_cast<std::uint8_t>(needle_[0]);
    for (std::size_t i = 0; i + n <= chars; ++i) {
      if (run[2 * i] != first) continue;
      std::size_t j = 1;
      while (j < n && run[2 * (i + j)] == static_cast<std::uint8_t>(needle_[j])) ++j;
      if (j == n) return true;
    }
    return false;
  }

  std::uint32_t page_;
  Bytes data_;
  std::uint64_t start_;
  std::uint64_t end_;
  std::string_view region_kind_;
  std::uint32_t page_flags_;
  std::string_view page_type_;
  const SharedName& table_;
  std::string_view needle_;
  std::uint64_t max_hits_;
  std::vector<CarvedString>& hits_;
};

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

// Eight code units of 16 bytes as two words: lane flags (bit 15 of each 16-bit lane) set for printable ASCII
// units; kNoLanes marks eight zero units.
constexpr std::uint64_t kAllLanes = 0x8000800080008000ULL;
constexpr std::uint64_t kNoLanes = 0x1;
std::uint64_t ascii_text_lanes(const std::uint8_t* p) noexcept {
  constexpr std::uint64_t kLow15 = 0x7FFF7FFF7FFF7FFFULL;
  constexpr std::uint64_t kAtLeast20 = 0x7FE07FE07FE07FE0ULL;
  constexpr std::uint64_t kAtMost7E = 0x807E807E807E807EULL;
  std::uint64_t words[2] = {0, 0};
  for (std::size_t b = 8; b-- > 0;) {
    words[0] = (words[0] << 8) | p[b];
    words[1] = (words[1] << 8) | p[8 + b];
  }
  if ((words[0] | words[1]) == 0) return kNoLanes;
  std::uint64_t all = kAllLanes;
  for (const std::uint64_t word : words) {
    const std::uint64_t x = word & kLow15;
    all &= (x + kAtLeast20) & (kAtMost7E - x) & ~word & kAllLanes;
  }
  return all;
}

// Runs of text of any script: printable ASCII, and letters, marks, numbers, punctuation, spaces and currency
// signs of every script, surrogate pairs whole; a character of a second script (ScriptRun) ends one run and
// starts the next. A run counts its characters, a pair being one. Han, Hangul and the rarely written blocks
// fill most of the code space, so random bytes read as runs of them: a run of those scripts needs twice
// min_chars characters unless it holds kana or CJK punctuation or ends at a NUL, as stored strings do; one
// whose units are mostly (three in four) two printable ASCII bytes (8-bit text read as UTF-16), that has two units
// whose low byte is zero (UTF-16 ASCII read one byte off), or that alternates with other characters (the tag
// array, numbers), is not text.
void scan_any_script(Bytes data, std::size_t pos, std::size_t stop, std::uint64_t min_chars, HitSink& sink) {
  const std::uint8_t* info_of = unit_info_table();
  const std::uint8_t* block_of = unit_block_table();
  auto unit = [&](std::size_t at) { return data[at] | (static_cast<std::uint32_t>(data[at + 1]) << 8); };
  std::string text;
  std::uint64_t chars = 0;
  std::size_t run_start = pos;
  ScriptRun script;
  bool companion = false;
  std::uint64_t ascii_pairs = 0, zero_low = 0;
  std::vector<std::pair<std::uint32_t, std::size_t>> run;  // (code point, byte position) of a run ending
  // Ends the run [run_start, end): its characters are decoded only when it may be kept. The bytes around a
  // string (a value's flag byte, a length) read as a few characters of another script than their neighbour,
  // or as Latin Extended characters (units of high byte 0x01 or 0x02) next to ASCII: those are left out.
  auto end_run = [&](std::size_t end, bool nul_after) {
    bool full = false;
    if (chars >= min_chars) {
      run.clear();
      for (std::size_t q = run_start; q < end; q += 2) {
        std::uint32_t cp = unit(q);
        const std::size_t at = q;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(q + 2) - 0xDC00);
          q += 2;
        }
        run.emplace_back(cp, at);
      }
      auto letter_script = [](std::uint32_t cp) {
        const Script s = script_of(cp);
        return cp < 0x80 && s != Script::Common ? Script::Latin : s;
      };
      auto stray = [&](std::uint32_t cp, std::uint32_t neighbour) {
        if (cp < 0x80) return false;
        const Script s = letter_script(neighbour);
        // Characters of the rarely written blocks are taken for one script only within one block.
        const bool other_block = s == Script::Other && (cp >> 7) != (neighbour >> 7);
        return (s != Script::Common && (letter_script(cp) != s || other_block)) ||
               (cp >= 0x100 && cp < 0x250 && neighbour < 0x80);
      };
      std::size_t first = 0, last = run.size();
      while (first < kMaxStrayChars && first + 1 < last && stray(run[first].first, run[first + 1].first)) ++first;
      while (run.size() - last < kMaxStrayChars && last > first + 1 && stray(run[last - 1].first, run[last - 2].first))
        --last;
      bool keep = last - first >= min_chars;
      const Script main = script.script();
      if (keep && (main == Script::Cjk || main == Script::Hangul || main == Script::Other)) {
        // Han or Hangul that alternates with other characters is the tag array or other numbers, not text.
        std::size_t switches = 0;
        for (std::size_t k = first + 1; k < last; ++k) {
          const auto big = [&](std::size_t i) {
            const Script t = letter_script(run[i].first);
            return t == Script::Cjk || t == Script::Hangul;
          };
          switches += big(k) != big(k - 1);
        }
        keep = 4 * ascii_pairs < 3 * chars && zero_low < 2 && 3 * switches <= last - first &&
               (companion || nul_after || chars >= 2 * min_chars);
      }
      if (keep) {
        text.clear();
        for (std::size_t k = first; k < last; ++k) append_utf8(text, run[k].first);
        full = sink.offer_text(run[first].second, text);
      }
    }
    chars = 0;
    script.reset();
    ascii_pairs = 0;
    companion = false;
    zero_low = 0;
    return full;
  };
  std::size_t p = pos;
  while (p + 2 <= stop) {
    // Eight units at a time where the page is zeros (outside a run) or printable ASCII (inside a run that has
    // its script: ASCII continues every script).
    if (p + 16 <= stop) {
      const std::uint64_t lanes = ascii_text_lanes(data.data() + p);
      if (chars == 0 && lanes == kNoLanes) {
        p += 16;
        run_start = p;
        continue;
      }
      if (lanes == kAllLanes && chars != 0 && script.script() != Script::Common) {
        chars += 8;
        p += 16;
        continue;
      }
    }
    const std::uint32_t u = unit(p);
    std::size_t next = p + 2;
    std::uint8_t info = block_of[u >> 8];
    if (info == kUnitMixedBlock) info = info_of[u];
    if (u >= 0xD800 && u <= 0xDBFF && next + 2 <= stop) {
      const std::uint32_t low = unit(next);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        const std::uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        const Script s = script_of(cp);
        info = static_cast<std::uint8_t>((s == Script::Other ? kUnitOtherScript : static_cast<std::uint8_t>(s)) |
                                         (code_class(cp) == CodeClass::Text ? kUnitText : 0));
        next += 2;
      }
    }
    if (!(info & kUnitText)) {
      if (end_run(p, u == 0)) return;
      p = next;
      run_start = p;
      continue;
    }
    if (!script.accept_script(unit_script(info))) {
      if (end_run(p, false)) return;
      run_start = p;
      script.accept_script(unit_script(info));
    }
    ++chars;
    ascii_pairs += data[p] >= 0x20 && data[p] <= 0x7E && data[p + 1] >= 0x20 && data[p + 1] <= 0x7E;
    companion = companion || (info & kUnitCompanion);
    zero_low += data[p] == 0;
    p = next;
  }
  end_run(p, false);
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
