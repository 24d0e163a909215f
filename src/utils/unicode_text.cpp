#include "unicode_text.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace pw {
namespace {

// Runs of one class: first code point << 2 | class, ascending.
constexpr std::uint32_t kClassRuns[] = {
#include "unicode_classes.inc"
};

CodeClass class_by_search(std::uint32_t cp) noexcept {
  const auto* it = std::upper_bound(std::begin(kClassRuns), std::end(kClassRuns), cp,
                                    [](std::uint32_t c, std::uint32_t run) { return c < (run >> 2); });
  return it == std::begin(kClassRuns) ? CodeClass::Unprintable : static_cast<CodeClass>(*std::prev(it) & 3u);
}

// The classes of the basic multilingual plane, one byte each, filled once from the runs.
struct BmpClasses {
  std::array<std::uint8_t, 0x10000> of{};
  BmpClasses() noexcept {
    for (std::size_t i = 0; i < std::size(kClassRuns) && (kClassRuns[i] >> 2) < 0x10000; ++i) {
      const std::uint32_t end = i + 1 < std::size(kClassRuns) ? std::min(kClassRuns[i + 1] >> 2, 0x10000u) : 0x10000u;
      for (std::uint32_t cp = kClassRuns[i] >> 2; cp < end; ++cp) of[cp] = static_cast<std::uint8_t>(kClassRuns[i] & 3u);
    }
  }
};

struct ScriptBlock {
  std::uint32_t first;
  std::uint8_t script;  // a Script value, or an id of its own for each other script
};

// Blocks by first code point; a block runs to the next one's start. Ids from 3 up name the alphabets.
constexpr ScriptBlock kBlocks[] = {
    {0x0000, 0},   {0x0041, 1},   {0x005B, 0},   {0x0061, 1},   {0x007B, 0},   {0x00C0, 1},   {0x00D7, 0},
    {0x00D8, 1},   {0x00F7, 0},   {0x00F8, 1},   {0x02B0, 0},   {0x0370, 3},   {0x0400, 4},   {0x0530, 5},
    {0x0590, 6},   {0x0600, 7},   {0x0700, 8},   {0x0750, 7},   {0x0780, 9},   {0x07C0, 10},  {0x0800, 255},
    {0x08A0, 7},   {0x0900, 11},  {0x0980, 12},  {0x0A00, 13},  {0x0A80, 14},  {0x0B00, 15},  {0x0B80, 16},
    {0x0C00, 17},  {0x0C80, 18},  {0x0D00, 19},  {0x0D80, 20},  {0x0E00, 21},  {0x0E80, 22},  {0x0F00, 23},
    {0x1000, 24},  {0x10A0, 25},  {0x1100, 2},   {0x1200, 26},  {0x13A0, 27},  {0x1400, 28},  {0x1680, 255},
    {0x1780, 29},  {0x1800, 30},  {0x18B0, 255}, {0x1AB0, 0},   {0x1B00, 255}, {0x1C80, 4},   {0x1C90, 25},
    {0x1CC0, 255}, {0x1D00, 1},   {0x1DC0, 0},   {0x1E00, 1},   {0x1F00, 3},   {0x2000, 0},   {0x2C00, 255},
    {0x2C60, 1},   {0x2C80, 255}, {0x2D00, 25},  {0x2D30, 255}, {0x2DE0, 4},   {0x2E00, 0},   {0x2E80, 2},
    {0xA000, 255}, {0xA640, 4},   {0xA6A0, 255}, {0xA700, 0},   {0xA720, 1},   {0xA800, 255}, {0xAB30, 1},
    {0xAB70, 27},  {0xABC0, 255}, {0xAC00, 2},   {0xD7B0, 255}, {0xF900, 2},   {0xFB00, 1},   {0xFB13, 5},
    {0xFB1D, 6},   {0xFB50, 7},   {0xFE00, 0},   {0xFE70, 7},   {0xFF00, 2},   {0xFFF0, 0},   {0x10000, 255},
    {0x1F000, 0},  {0x1FB00, 255}, {0x20000, 2},  {0x40000, 255},
};

}  // namespace

CodeClass code_class(std::uint32_t cp) noexcept {
  if (cp < 0x10000) {
    static const BmpClasses bmp;
    return static_cast<CodeClass>(bmp.of[cp]);
  }
  return cp <= 0x10FFFF ? class_by_search(cp) : CodeClass::Unprintable;
}

Script script_of(std::uint32_t cp) noexcept {
  const auto* it = std::upper_bound(std::begin(kBlocks), std::end(kBlocks), cp,
                                    [](std::uint32_t c, const ScriptBlock& b) { return c < b.first; });
  return static_cast<Script>(std::prev(it)->script);
}

bool ScriptRun::accept(std::uint32_t cp) noexcept {
  const Script s = script_of(cp);
  if (s == Script::Common) return true;
  if (established_ == Script::Common) {
    established_ = s;
    return true;
  }
  if (s == established_ || s == Script::Latin) return true;
  const bool alphabet = s != Script::Cjk && s != Script::Other;
  if (established_ == Script::Latin && alphabet) {
    established_ = s;
    return true;
  }
  return false;
}

}  // namespace pw
