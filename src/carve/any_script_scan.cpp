#include "any_script_scan.hpp"

#include <array>
#include <bit>
#include <string>
#include <utility>

#include "../utils/text.hpp"
#include "../utils/unicode_text.hpp"
#include "text_segments.hpp"
#include "unit_window.hpp"

namespace pw {
namespace {

constexpr std::size_t kBatchWindows = 16;  // windows filled at a time (2 KiB of units)
// Characters at either end of a run that may be left out as stray bytes around the string, and the characters
// of each end that deciding it reads (the strays and the neighbour of the last).
constexpr std::size_t kMaxStrayChars = 6;
constexpr std::size_t kEndChars = kMaxStrayChars + 1;
// Printable ASCII units in a row after which the run machine tries eight at a time.
constexpr unsigned kAsciiBeforeSteps = 4;

// Han, Hangul and the rarely written blocks fill most of the code space, so random bytes read as runs of them.
bool is_crowded(Script s) noexcept { return s == Script::Cjk || s == Script::Hangul || s == Script::Other; }

// Bits j of x such that bits j .. j + n - 1 are all set (n >= 1); none when n exceeds the word.
std::uint64_t runs_of_ones(std::uint64_t x, std::uint64_t n) noexcept {
  if (n > kWindowUnits) return 0;
  std::uint64_t have = 1;
  for (; 2 * have <= n; have *= 2) x &= x >> have;
  return have < n ? x & (x >> (n - have)) : x;
}

std::uint8_t supplementary_info(std::uint32_t cp) noexcept {
  const Script s = script_of(cp);
  const auto script = s == Script::Other ? kUnitOtherScript : static_cast<std::uint8_t>(s);
  return static_cast<std::uint8_t>(script | (code_class(cp) == CodeClass::Text ? kUnitText : 0));
}

// One character of a run: its code point, its byte position and its script.
struct RunChar {
  std::uint32_t cp = 0;
  std::size_t at = 0;
  Script script = Script::Common;
};

// A character that the bytes around a string read as: of another script than its neighbour (characters of the
// rarely written blocks go together within one block of 128 only), or Latin Extended (units of high byte 0x01
// or 0x02) next to ASCII.
bool is_stray(const RunChar& c, const RunChar& neighbour) noexcept {
  if (c.cp < 0x80) return false;
  const Script s = neighbour.script;
  const bool other_block = s == Script::Other && (c.cp >> 7) != (neighbour.cp >> 7);
  return (s != Script::Common && (c.script != s || other_block)) ||
         (c.cp >= 0x100 && c.cp < 0x250 && neighbour.cp < 0x80);
}

// Runs of text of any script: printable ASCII, and letters, marks, numbers, punctuation, spaces and currency
// signs of every script, surrogate pairs whole; a character of a second script (ScriptRun) ends one run and
// starts the next. A run counts its characters, a pair being one. A run of the crowded scripts needs twice
// min_chars characters unless it holds kana or CJK punctuation or ends at a NUL, as stored strings do; one
// whose units are mostly (three in four) two printable ASCII bytes (8-bit text read as UTF-16), that has two
// units whose low byte is zero (UTF-16 ASCII read one byte off), or that alternates with other characters
// (the tag array, numbers), is not text. Only the segments that SegmentWindows leaves long enough are read.
class AnyScriptScan {
 public:
  AnyScriptScan(Bytes data, std::size_t stop, std::uint64_t min_chars, HitSink& sink) noexcept
      : data_(data), stop_(stop), min_chars_(min_chars), sink_(sink) {}

  void scan(std::size_t pos);

 private:
  // The unit at `at`; every position read is below stop_ (at most the buffer's size), so whole units lie there.
  std::uint32_t unit(std::size_t at) const noexcept {
    return data_[at] | (static_cast<std::uint32_t>(data_[at + 1]) << 8);
  }
  RunChar char_at(std::size_t p) const noexcept;
  RunChar char_before(std::size_t p) const noexcept;
  bool eight_ascii_units(std::size_t p) const noexcept;

  bool scan_segment(std::size_t start, std::size_t end);
  void begin_run(std::size_t start) noexcept;
  void count(std::uint32_t u, std::uint8_t info) noexcept;
  bool end_run(std::size_t end, bool nul_after);
  bool plausible(bool nul_after) const noexcept;
  bool offer_run(std::size_t end);

  Bytes data_;
  std::size_t stop_;
  std::uint64_t min_chars_;
  HitSink& sink_;
  const std::uint8_t* info_of_ = unit_info_table();
  const std::uint8_t* steps_ = script_run_steps();

  // The run being read.
  std::size_t run_start_ = 0;
  std::uint64_t chars_ = 0;
  std::uint8_t script_ = 0;  // its script id (ScriptRun's script, in script_run_steps)
  bool companion_ = false;
  std::uint64_t ascii_pairs_ = 0;
  std::uint64_t zero_low_ = 0;
};

std::size_t width(const RunChar& c) noexcept { return c.cp > 0xFFFF ? 4 : 2; }

// The character at p of a run (in a run, a high surrogate always starts a pair).
RunChar AnyScriptScan::char_at(std::size_t p) const noexcept {
  const std::uint32_t u = unit(p);
  if (u >= 0xD800 && u <= 0xDBFF) {
    const std::uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (unit(p + 2) - 0xDC00);
    return {cp, p, script_of(cp)};
  }
  return {u, p, unit_script(info_of_[u])};
}

// The character of a run that ends at p (in a run, a low surrogate always ends a pair).
RunChar AnyScriptScan::char_before(std::size_t p) const noexcept {
  const std::uint32_t u = unit(p - 2);
  return u >= 0xDC00 && u <= 0xDFFF ? char_at(p - 4) : RunChar{u, p - 2, unit_script(info_of_[u])};
}

// Whether the eight units from p are printable ASCII: bit 15 of each 16-bit lane flags one, computed without
// carries between lanes.
bool AnyScriptScan::eight_ascii_units(std::size_t p) const noexcept {
  constexpr std::uint64_t kLow15 = 0x7FFF7FFF7FFF7FFFULL;
  constexpr std::uint64_t kTopBits = 0x8000800080008000ULL;
  constexpr std::uint64_t kAtLeast20 = 0x7FE07FE07FE07FE0ULL;  // x + 0x7FE0 reaches 0x8000 iff x >= 0x20
  constexpr std::uint64_t kAtMost7E = 0x807E807E807E807EULL;   // 0x807E - x stays >= 0x8000 iff x <= 0x7E
  const auto words = read_le_array<std::uint64_t, 2>(data_, p);
  if (!words) return false;
  std::uint64_t all = kTopBits;
  for (const std::uint64_t word : *words) {
    const std::uint64_t x = word & kLow15;
    all &= (x + kAtLeast20) & (kAtMost7E - x) & ~word;
  }
  return all == kTopBits;
}

// Windows of 64 units: a segment (units joined one to the next, SegmentWindows) shorter than min_chars units
// holds no string and is passed over; a longer one is read by the run machine, which starts afresh at its first
// unit (where a run certainly starts) and ends the run at its end (where one certainly ends).
void AnyScriptScan::scan(std::size_t pos) {
  if (min_chars_ <= 1) {  // every text unit is a string: nothing can be passed over
    scan_segment(pos, stop_);
    return;
  }
  const std::uint64_t joins = min_chars_ - 1;  // joined units after a segment's first in a long enough one
  SegmentWindows windows(data_, pos, stop_);
  std::array<SegmentWindow, kBatchWindows> batch;
  // The segment that holds the last unit of the window before: its first unit, and its units so far (0: none).
  std::size_t open_start = 0;
  std::uint64_t open_units = 0;
  std::size_t first = pos;
  for (std::size_t count; (count = windows.next(batch)) != 0;) {
    for (std::size_t w = 0; w < count; ++w, first += kWindowBytes) {
      const SegmentWindow& window = batch[w];
      std::uint64_t joined = window.joined;
      if (open_units != 0) {
        const auto units = static_cast<unsigned>(std::countr_one(joined));
        if (units == kWindowUnits) {
          open_units += kWindowUnits;
          continue;
        }
        if (open_units + units >= min_chars_ && !scan_segment(open_start, first + 2 * units)) return;
        open_units = 0;
        joined &= ~std::uint64_t{0} << units;  // the units of the segment just ended; bit `units` is clear
      }
      // The lowest j of a long segment within the window is its second unit (bit j - 1 is clear).
      for (std::uint64_t seconds = runs_of_ones(joined, joins); seconds != 0;) {
        const auto j = static_cast<unsigned>(std::countr_zero(seconds));
        const unsigned end = j + static_cast<unsigned>(std::countr_one(joined >> j));
        if (end == kWindowUnits) break;  // it goes on into the next window: kept open below
        if (!scan_segment(first + 2 * (j - 1), first + 2 * end)) return;
        seconds &= ~std::uint64_t{0} << end;
      }
      if (window.text >> 63) {
        const auto start = 63 - static_cast<unsigned>(std::countl_one(joined));
        open_start = first + 2 * start;
        open_units = kWindowUnits - start;
      }
    }
  }
  if (open_units >= min_chars_) scan_segment(open_start, first);
}

// The run machine over [start, end): false once the sink is full.
bool AnyScriptScan::scan_segment(std::size_t start, std::size_t end) {
  begin_run(start);
  std::size_t p = start;
  unsigned ascii_in_row = 0;
  while (p + 2 <= end) {
    const std::uint32_t u = unit(p);
    std::uint8_t info = info_of_[u];
    std::size_t next = p + 2;
    if (info == kUnitHighSurrogate && p + 4 <= stop_) {
      const std::uint32_t low = unit(p + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        info = supplementary_info(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        next = p + 4;
      }
    }
    if (!(info & kUnitText)) {
      if (end_run(p, u == 0)) return false;
      begin_run(next);
      p = next;
      continue;
    }
    const std::uint8_t step = steps_[script_ * 64 + (info & kUnitScriptMask)];
    if (step & kScriptRunEnds) {
      if (end_run(p, false)) return false;
      begin_run(p);
    }
    script_ = step & kUnitScriptMask;
    count(u, info);
    p = next;
    // Printable ASCII continues a run of every script: once the run has its script, and after a few ASCII
    // units in a row (trying it at every unit would mispredict in noise), eight units at a time.
    ascii_in_row = u - 0x20 <= 0x7E - 0x20 ? ascii_in_row + 1 : 0;
    if (ascii_in_row >= kAsciiBeforeSteps && script_ != 0) {
      for (; p + 16 <= end && eight_ascii_units(p); p += 16) chars_ += 8;
      ascii_in_row = 0;
    }
  }
  return !end_run(p, p + 2 <= stop_ && unit(p) == 0);
}

void AnyScriptScan::begin_run(std::size_t start) noexcept {
  run_start_ = start;
  chars_ = 0;
  script_ = 0;
  companion_ = false;
  ascii_pairs_ = 0;
  zero_low_ = 0;
}

// Counts the character whose (first) unit is u.
void AnyScriptScan::count(std::uint32_t u, std::uint8_t info) noexcept {
  const std::uint32_t low = u & 0xFF, high = u >> 8;
  ++chars_;
  ascii_pairs_ += (low - 0x20 <= 0x7E - 0x20) & (high - 0x20 <= 0x7E - 0x20);
  companion_ |= (info & kUnitCompanion) != 0;
  zero_low_ += low == 0;
}

// Ends the run [run_start_, end); true once the sink is full. Its characters are decoded only when it may be kept.
bool AnyScriptScan::end_run(std::size_t end, bool nul_after) {
  return chars_ >= min_chars_ && plausible(nul_after) && offer_run(end);
}

// What the counters of a run of the crowded scripts say before its characters are read.
bool AnyScriptScan::plausible(bool nul_after) const noexcept {
  if (!is_crowded(unit_script(script_))) return true;
  return 4 * ascii_pairs_ < 3 * chars_ && zero_low_ < 2 && (companion_ || nul_after || chars_ / 2 >= min_chars_);
}

// The bytes around a string (a value's flag byte, a length) read as a few stray characters: those are left out
// of both ends; then a run of the crowded scripts that alternates with other characters is dropped. True once
// the sink is full.
bool AnyScriptScan::offer_run(std::size_t end) {
  const std::uint64_t n = chars_;
  // A run of up to 2 * kEndChars characters is decoded whole; of a longer one the first and the last kEndChars.
  std::array<RunChar, 2 * kEndChars> ends;
  const bool whole = n <= ends.size();
  std::size_t p = run_start_;
  for (std::size_t k = 0, front = whole ? n : kEndChars; k < front; p += width(ends[k]), ++k) ends[k] = char_at(p);
  for (std::size_t k = ends.size(), q = end; !whole && k > kEndChars; q = ends[k].at) ends[--k] = char_before(q);
  auto nth = [&](std::uint64_t i) -> const RunChar& {
    return whole || i < kEndChars ? ends[i] : ends[i + ends.size() - n];  // i >= n - kEndChars in a long run
  };
  std::uint64_t first = 0, last = n;
  while (first < kMaxStrayChars && first + 1 < last && is_stray(nth(first), nth(first + 1))) ++first;
  while (n - last < kMaxStrayChars && last > first + 1 && is_stray(nth(last - 1), nth(last - 2))) --last;
  if (last - first < min_chars_) return false;

  // Calls f with the characters first .. last - 1.
  auto each_char = [&](auto&& f) {
    for (std::uint64_t k = first, q = nth(first).at; k < last; ++k) {
      const RunChar c = whole ? ends[k] : char_at(q);
      q += width(c);
      f(k, c);
    }
  };
  if (is_crowded(unit_script(script_))) {
    std::uint64_t switches = 0;
    bool big_before = false;
    each_char([&](std::uint64_t k, const RunChar& c) {
      const bool big = c.script == Script::Cjk || c.script == Script::Hangul;
      switches += k != first && big != big_before;
      big_before = big;
    });
    if (3 * switches > last - first) return false;
  }
  std::string text;
  text.reserve(last - first);
  each_char([&](std::uint64_t, const RunChar& c) {
    if (c.cp < 0x80) {
      text.push_back(static_cast<char>(c.cp));
    } else {
      append_utf8(text, c.cp);
    }
  });
  return sink_.offer_text(nth(first).at, std::move(text));
}

}  // namespace

void scan_any_script(Bytes data, std::size_t pos, std::size_t stop, std::uint64_t min_chars, HitSink& sink) {
  AnyScriptScan(data, stop, min_chars, sink).scan(pos);
}

}  // namespace pw
