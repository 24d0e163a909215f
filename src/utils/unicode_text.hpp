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

// A script, coarsely: Latin, Greek, Cyrillic, ... each of its own; Han, kana, Bopomofo and Hangul together
// (Chinese, Japanese and Korean text mix them); digits, punctuation, symbols and combining marks common to all.
enum class Script : std::uint8_t { Common = 0, Latin = 1, Cjk = 2, Other = 255 };
Script script_of(std::uint32_t cp) noexcept;

// The scripts met along one run of text. A run keeps one script besides Latin: Latin words may stand in text
// of any script, Latin text may go on in an alphabet (Greek, Cyrillic, Arabic, ...), but a character of a
// second non-Latin script, or CJK after Latin, is where the run ends.
class ScriptRun {
 public:
  // True when cp may continue the run (the run then includes it).
  bool accept(std::uint32_t cp) noexcept;
  void reset() noexcept { established_ = Script::Common; }
  Script script() const noexcept { return established_; }

 private:
  Script established_ = Script::Common;
};

}  // namespace pw
