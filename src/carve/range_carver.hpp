// carve_utf16le_from_range: finds printable-ASCII UTF-16LE strings in one byte range of a buffer; its any-script
// form finds text of every script.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../utils/bytes.hpp"
#include "carved_string.hpp"

namespace pw {

// Scans [start, end) of `data` for runs of code units 0x0020..0x007E stored at even buffer positions and
// appends one CarvedString per run of at least `min_chars` characters that contains `needle` (when given and
// not empty), until `hits` holds `max_hits` records (records already in `hits` count). The page context
// (page, region_kind, page_flags, page_type, table) is copied into every record. Never fails; an `end` past
// the buffer is scanned only up to the buffer's end.
void carve_utf16le_from_range(std::uint32_t page, Bytes data, std::uint64_t start, std::uint64_t end,
                              std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                              const SharedName& table, const std::optional<std::string>& needle,
                              std::uint64_t min_chars, std::uint64_t max_hits, std::vector<CarvedString>& hits);

// The same scan for text of any script: printable ASCII and the letters, marks, numbers, punctuation, spaces
// and currency signs of every script (surrogate pairs whole, counted as one character), a run holding one
// script besides Latin (ScriptRun: a character of another script ends it and starts the next run). `text` is
// UTF-8; the needle is matched against it.
void carve_utf16le_any_script_from_range(std::uint32_t page, Bytes data, std::uint64_t start, std::uint64_t end,
                                         std::string_view region_kind, std::uint32_t page_flags,
                                         std::string_view page_type, const SharedName& table,
                                         const std::optional<std::string>& needle, std::uint64_t min_chars,
                                         std::uint64_t max_hits, std::vector<CarvedString>& hits);

// Which code units of a buffer are printable ASCII: bit u (of word u / 64) stands for the unit at byte 2u.
// Built once for a page whose regions are many and small (the data of its tags), it spares classifying the
// same bytes again for every region. assign() reuses the storage from page to page.
class TextUnitMap {
 public:
  void assign(Bytes data);
  Bytes data() const noexcept { return data_; }
  // Bits for up to 64 units from the unit at the even position pos (< buffer length); units past the end of
  // the buffer read as 0.
  std::uint64_t window(std::size_t pos) const noexcept;

 private:
  Bytes data_;
  std::vector<std::uint64_t> words_;
};

// The same scan over [start, end) of map.data(), reading the classification from the map.
void carve_utf16le_from_range(const TextUnitMap& map, std::uint32_t page, std::uint64_t start, std::uint64_t end,
                              std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                              const SharedName& table, const std::optional<std::string>& needle,
                              std::uint64_t min_chars, std::uint64_t max_hits, std::vector<CarvedString>& hits);

}  // namespace pw
