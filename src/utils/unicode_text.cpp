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
      for (std::uint32_t cp = kClassRuns[i] >> 2; cp < end; ++cp)
        of[cp] = static_cast<std::uint8_t>(kClassRuns[i] & 3u);
    }
  }
};

struct ScriptBlock {
  std::uint32_t first;
  std::uint8_t script;  // a Script value, or an id of its own for each other script
};

// Blocks by first code point; a block runs to the next one's start. Ids from 4 up name the alphabets.
constexpr std::uint8_t C = 0, L = 1, J = 2, K = 3, X = 255;
constexpr ScriptBlock kBlocks[] = {
    {0x0000, C},   {0x0041, L},   {0x005B, C},   {0x0061, L},   {0x007B, C},   {0x00C0, L},   {0x00D7, C},
    {0x00D8, L},   {0x00F7, C},   {0x00F8, L},   {0x02B0, C},   {0x0370, 4},   {0x0400, 5},   {0x0530, 6},
    {0x0590, 7},   {0x0600, 8},   {0x0700, 9},   {0x0750, 8},   {0x0780, 10},  {0x07C0, 11},  {0x0800, X},
    {0x08A0, 8},   {0x0900, 12},  {0x0980, 13},  {0x0A00, 14},  {0x0A80, 15},  {0x0B00, 16},  {0x0B80, 17},
    {0x0C00, 18},  {0x0C80, 19},  {0x0D00, 20},  {0x0D80, 21},  {0x0E00, 22},  {0x0E80, 23},  {0x0F00, 24},
    {0x1000, 25},  {0x10A0, 26},  {0x1100, K},   {0x1200, 27},  {0x13A0, 28},  {0x1400, 29},  {0x1680, X},
    {0x1780, 30},  {0x1800, 31},  {0x18B0, X},   {0x1AB0, C},   {0x1B00, X},   {0x1C80, 5},   {0x1C90, 26},
    {0x1CC0, X},   {0x1D00, L},   {0x1DC0, C},   {0x1E00, L},   {0x1F00, 4},   {0x2000, C},   {0x2C00, X},
    {0x2C60, L},   {0x2C80, X},   {0x2D00, 26},  {0x2D30, X},   {0x2DE0, 5},   {0x2E00, C},   {0x2E80, J},
    {0x3000, C},   {0x3040, J},   {0x3130, K},   {0x3190, J},   {0x3400, X},   {0x4E00, J},   {0xA000, X},
    {0xA640, 5},   {0xA6A0, X},   {0xA700, C},   {0xA720, L},   {0xA800, X},   {0xA960, K},   {0xA980, X},
    {0xAB30, L},   {0xAB70, 28},  {0xABC0, X},   {0xAC00, K},   {0xD800, X},   {0xF900, J},   {0xFB00, L},
    {0xFB13, 6},   {0xFB1D, 7},   {0xFB50, 8},   {0xFE00, C},   {0xFE70, 8},   {0xFF00, C},   {0xFF21, L},
    {0xFF3B, C},   {0xFF41, L},   {0xFF5B, C},   {0xFF66, J},   {0xFFA0, K},   {0xFFE0, C},   {0x10000, X},
    {0x1F000, C},  {0x1FB00, X},  {0x20000, J},  {0x40000, X},
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

bool is_cjk_companion(std::uint32_t cp) noexcept {
  return (cp >= 0x3000 && cp <= 0x30FF) || (cp >= 0x31F0 && cp <= 0x31FF) || (cp >= 0xFF00 && cp <= 0xFF9F);
}

namespace {

struct UnitTables {
  std::array<std::uint8_t, 0x10000> of{};
  std::array<std::uint8_t, 64 * 64> steps{};
  UnitTables() noexcept {
    for (std::uint32_t u = 0; u < 0x10000; ++u) {
      const Script s = script_of(u);
      std::uint8_t info = s == Script::Other ? kUnitOtherScript : static_cast<std::uint8_t>(s);
      if (code_class(u) == CodeClass::Text || (u >= 0x20 && u <= 0x7E)) info |= kUnitText;
      if (is_cjk_companion(u)) info |= kUnitCompanion;
      if (u >= 0xD800 && u <= 0xDFFF) info = u < 0xDC00 ? kUnitHighSurrogate : kUnitLowSurrogate;
      of[u] = info;
    }
    auto id = [](Script s) { return s == Script::Other ? kUnitOtherScript : static_cast<std::uint8_t>(s); };
    for (std::uint8_t from = 0; from < 64; ++from) {
      for (std::uint8_t to = 0; to < 64; ++to) {
        ScriptRun run;
        if (from != 0) run.accept_script(unit_script(from));
        const bool continues = run.accept_script(unit_script(to));
        steps[from * 64 + to] = continues ? id(run.script()) : static_cast<std::uint8_t>(kScriptRunEnds | to);
      }
    }
  }
};

const UnitTables& unit_tables() noexcept {
  static const UnitTables tables;
  return tables;
}

}  // namespace

const std::uint8_t* unit_info_table() noexcept { return unit_tables().of.data(); }
const std::uint8_t* script_run_steps() noexcept { return unit_tables().steps.data(); }

bool ScriptRun::accept(std::uint32_t cp) noexcept {
  const bool ascii_letter = (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z';
  return accept_script(cp < 0x80 ? (ascii_letter ? Script::Latin : Script::Common) : script_of(cp));
}

}  // namespace pw
