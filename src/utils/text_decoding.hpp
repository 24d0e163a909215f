// The column text decoders, over any contiguous byte container `Out` (std::string, a byte vector) that
// has size(), capacity(), resize(), reserve(), push_back(), insert() and operator[]: text is decoded straight into
// where it is kept.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "../error.hpp"
#include "bytes.hpp"
#include "text.hpp"

namespace pw::text_decoding {

// windows-1252 bytes 0x80..0x9F; the five unassigned ones map to their C1 control code points.
inline constexpr std::uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Room for `more` bytes past the end; growing geometrically, as a vector's reserve() alone does not.
template <class Out>
void reserve_more(Out& out, std::size_t more) {
  if (out.capacity() - out.size() < more) out.reserve(std::max(out.size() + more, 2 * out.capacity()));
}

template <class Out>
void append(Out& out, const char* chars, std::size_t size) {
  out.insert(out.end(), chars, chars + size);
}

template <class Out>
void append_utf8(Out& out, std::uint32_t cp) {
  using Char = typename Out::value_type;
  if (cp < 0x80) {
    out.push_back(static_cast<Char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<Char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<Char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<Char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<Char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<Char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<Char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<Char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<Char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<Char>(0x80 | (cp & 0x3F)));
  }
}

// Runs of ASCII, the usual content of both encodings, are copied in one step.
template <class Out>
void decode_windows1252(Bytes in, Out& out) {
  reserve_more(out, in.size());
  const auto* chars = reinterpret_cast<const char*>(in.data());
  std::size_t i = 0;
  while (i < in.size()) {
    std::size_t run = i;
    for (; in.size() - run >= 8; run += 8) {  // eight bytes at a time while none has its high bit set
      std::uint64_t eight = 0;
      std::memcpy(&eight, in.subspan(run, 8).data(), sizeof eight);
      if (eight & 0x8080808080808080u) break;
    }
    while (run < in.size() && in[run] < 0x80) ++run;
    append(out, chars + i, run - i);
    if (run == in.size()) break;
    const std::uint8_t b = in[run];
    append_utf8(out, b < 0xA0 ? kWindows1252High[b - 0x80] : b);
    i = run + 1;
  }
}

template <class Out>
void decode_utf16(Bytes in, bool big_endian, Out& out) {
  const std::size_t units = in.size() / 2;
  auto unit_at = [&](std::size_t k) -> std::uint32_t {
    const std::uint8_t a = in[2 * k], b = in[2 * k + 1];
    return big_endian ? static_cast<std::uint32_t>((a << 8) | b) : static_cast<std::uint32_t>((b << 8) | a);
  };
  std::size_t k = 0;
  // The leading ASCII units, written straight into the string; found four units at a time by a mask of the
  // bits an ASCII unit leaves clear, laid out in the data's byte order (so the host's order does not matter).
  constexpr std::uint8_t kLittle[8] = {0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF};
  constexpr std::uint8_t kBig[8] = {0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80};
  std::uint64_t non_ascii = 0;
  std::memcpy(&non_ascii, big_endian ? kBig : kLittle, sizeof non_ascii);
  std::size_t ascii = 0;
  for (; ascii + 4 <= units; ascii += 4) {
    std::uint64_t four = 0;
    std::memcpy(&four, in.subspan(2 * ascii, 8).data(), sizeof four);
    if (four & non_ascii) break;
  }
  while (ascii < units && unit_at(ascii) < 0x80) ++ascii;
  const std::size_t base = out.size();
  out.resize(base + ascii);
  const std::uint8_t* const units_in = in.subspan(0, 2 * ascii).data() + (big_endian ? 1 : 0);  // low bytes
  auto* const narrowed = out.data() + base;  // a local pointer: the stores could alias the container's own
  for (; k < ascii; ++k) narrowed[k] = static_cast<typename Out::value_type>(units_in[2 * k]);
  if (k < units) reserve_more(out, 3 * (units - k) + 3);
  for (; k < units; ++k) {
    const std::uint32_t u = unit_at(k);
    if (u < 0x80) {
      out.push_back(static_cast<typename Out::value_type>(u));
    } else if (u >= 0xD800 && u <= 0xDBFF) {
      if (k + 1 < units) {
        const std::uint32_t lo = unit_at(k + 1);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
          ++k;
          continue;
        }
      }
      append(out, kReplacement.data(), kReplacement.size());
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      append(out, kReplacement.data(), kReplacement.size());
    } else {
      append_utf8(out, u);
    }
  }
  if (in.size() % 2) append(out, kReplacement.data(), kReplacement.size());
}

// Appends the text of `bytes` in `codepage` to `out`; false, nothing appended, for an unknown codepage.
template <class Out>
bool decode_string_into(Bytes bytes, std::uint32_t codepage, Out& out) {
  if (!is_known_codepage(codepage)) return false;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    const Bytes rest = bytes.subspan(3);
    const std::string text = utf8_lossy(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
    append(out, text.data(), text.size());
  } else if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    decode_utf16(bytes.subspan(2), false, out);
  } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    decode_utf16(bytes.subspan(2), true, out);
  } else if (codepage == kCodepageUnicode) {
    decode_utf16(bytes, false, out);
  } else {
    decode_windows1252(bytes, out);
  }
  return true;
}

}  // namespace pw::text_decoding
