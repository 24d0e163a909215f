// SegmentWindows: which UTF-16LE code units of a range may belong to one run of text of any script, 64 units
// at a time. Random bytes read as characters of Han, Hangul and the rarely written blocks, but two neighbours
// of different scripts, or a unit that is no text, end a run wherever they stand: the stretches between such
// units (segments) are almost all shorter than a string to report, and the any-script scan decodes only the
// longer ones.
#pragma once

#include <cstddef>
#include <cstdint>

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
  // The units of [first unit, stop) of `data`; stop <= data.size().
  SegmentWindows(Bytes data, std::size_t stop) noexcept : data_(data), stop_(stop) {}

  // The window of the units from the even position `first` (first + 2 <= stop). `follows` says that it is the
  // window after the one given last (first is 128 bytes further on), so that its first unit may continue
  // that window's last; otherwise a run starts at `first`.
  SegmentWindow at(std::size_t first, bool follows) noexcept;

 private:
  Bytes data_;
  std::size_t stop_;
  // The last unit of the window given last: its script id, whether it may be text, whether it is a high
  // surrogate.
  std::uint8_t last_script_ = 0;
  bool last_text_ = false;
  bool last_high_ = false;
};

}  // namespace pw
