// SegmentWindows: which UTF-16LE code units of a range may belong to one run of text of any script, 64 units
// at a time. Random bytes read as characters of Han, Hangul and the rarely written blocks, but two neighbours
// of different scripts, or a unit that is no text, end a run wherever they stand: the stretches between such
// units (segments) are almost all shorter than a string to report, and the any-script scan decodes only the
// longer ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../utils/bytes.hpp"

namespace pw {

// Bit k stands for the unit at byte first + 2k of the window.
struct SegmentWindow {
  // The unit may be text: its table entry is text, or it is half of a surrogate pair (whose character the
  // scan classifies). A clear bit: the unit certainly is no text (units at or past the range's end included).
  std::uint64_t text = 0;
  // The unit may continue the run that holds the unit before it: both may be text, and their scripts do not
  // part them (one of them is Common or Latin, a surrogate, or both are of one script). A clear bit: a run
  // certainly ends before this unit (the first unit of the range included).
  std::uint64_t joined = 0;
};

class SegmentWindows {
 public:
  // The units of [pos, stop) of `data` (pos even, stop <= data.size()); a run starts at pos.
  SegmentWindows(Bytes data, std::size_t pos, std::size_t stop) noexcept : data_(data), next_(pos), stop_(stop) {}

  // The next windows, one per 128 bytes from pos on (the last one may hold fewer units), as many as `out` holds
  // or the range has left: their number, 0 once the range is done.
  std::size_t next(std::span<SegmentWindow> out) noexcept;

 private:
  SegmentWindow window(std::size_t first) noexcept;

  Bytes data_;
  std::size_t next_;
  std::size_t stop_;
  // The last unit of the window given last: its script id, whether it may be text, whether it is a high
  // surrogate (all clear before the first window: a run starts there).
  std::uint8_t last_script_ = 0;
  bool last_text_ = false;
  bool last_high_ = false;
};

}  // namespace pw
