// Code point classes and scripts: what carving reports as text of any script, and where text read from page
// slack stops being text (bytes that follow a value often decode as characters of another script).
#pragma once

#include <cstdint>

namespace pw {

enum class CodeClass : std::uint8_t {
  Unprintable = 0,  // controls, surrogates, private use, unassigned
  Printable = 1,    // format characters, symbols other than currency, line and paragraph separators
  Text = 2,         // letters, marks, numbers, punctuation, space separators, currency signs
};

CodeClass code_class(std::uint32_t cp) noexcept;

// A script, coarsely: Latin, Greek, Cyrillic, ... each of its own; Han, kana and Bopomofo together (Chinese and
// Japanese text mix them); Hangul; digits, punctuation, symbols and combining marks common to all. Cjk and
// Hangul fill large blocks of the code space, where random bytes often land.
enum class Script : std::uint8_t { Common = 0, Latin = 1, Cjk = 2, Hangul = 3, Other = 255 };
Script script_of(std::uint32_t cp) noexcept;
// Kana, CJK punctuation and full-width forms: characters that Chinese and Japanese text holds beside Han.
bool is_cjk_companion(std::uint32_t cp) noexcept;

// What a scan needs of each UTF-16 code unit, one byte per unit of a 64 KiB table built once: its script in
// the low 6 bits (Other as kUnitOtherScript), then whether it is text (Text, or printable ASCII: carving of any
// script keeps every string the ASCII carver finds), then whether it is a CJK companion. The halves of a
// surrogate pair are no text on their own and carry values of their own (their pair's script and class are the
// scan's to find).
inline constexpr std::uint8_t kUnitScriptMask = 0x3F;
inline constexpr std::uint8_t kUnitOtherScript = 0x3F;
inline constexpr std::uint8_t kUnitText = 0x40;
inline constexpr std::uint8_t kUnitCompanion = 0x80;
inline constexpr std::uint8_t kUnitHighSurrogate = 0x80;
inline constexpr std::uint8_t kUnitLowSurrogate = 0x81;
const std::uint8_t* unit_info_table() noexcept;
inline Script unit_script(std::uint8_t info) noexcept {
  const std::uint8_t id = info & kUnitScriptMask;
  return id == kUnitOtherScript ? Script::Other : static_cast<Script>(id);
}

// The scripts met along one run of text. A run keeps one script besides Latin: Latin words may stand in text
// of any script, Latin text may go on in an alphabet (Greek, Cyrillic, Arabic, ...), but a character of a
// second non-Latin script, or of Cjk or Hangul after Latin, is where the run ends.
class ScriptRun {
 public:
  // True when cp may continue the run (the run then includes it).
  bool accept(std::uint32_t cp) noexcept;
  bool accept_script(Script s) noexcept {
    if (s == Script::Common) return true;
    if (established_ == Script::Common) {
      established_ = s;
      return true;
    }
    if (s == established_ || s == Script::Latin) return true;
    const bool alphabet = s != Script::Cjk && s != Script::Hangul && s != Script::Other;
    if (established_ == Script::Latin && alphabet) {
      established_ = s;
      return true;
    }
    return false;
  }
  void reset() noexcept { established_ = Script::Common; }
  Script script() const noexcept { return established_; }

 private:
  Script established_ = Script::Common;
};

// ScriptRun as a table over the script ids of unit entries (kUnitScriptMask bits), for scans that step through
// many characters: entry [from * 64 + to] is the id a run of script id `from` has once a character of script
// id `to` continues it, or kScriptRunEnds | to when that character ends the run and starts the next.
inline constexpr std::uint8_t kScriptRunEnds = 0x80;
const std::uint8_t* script_run_steps() noexcept;

}  // namespace pw
