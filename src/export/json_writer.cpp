#include "json_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "../error.hpp"
#include "../types/typed_value.hpp"
#include "utf8_sequence.hpp"

namespace pw::json {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// For each byte: 0 copy as is, 'u' write \u00XX, any other letter write a backslash and that letter,
// 0x80 look at the UTF-8 sequence that starts here.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  for (int c = 0x80; c < 0x100; ++c) t[c] = static_cast<char>(0x80);
  return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

// What the escaping does at a byte that does not start a well-formed UTF-8 sequence.
enum class OnInvalid { Fail, EscapeAsSurrogate };

// Appends the escaped body of a string. At a byte that does not start a well-formed sequence: with Fail,
// returns false (out then holds a partial body the caller discards); with EscapeAsSurrogate, writes the byte
// as \udcXX and goes on with the next byte.
bool append_escaped_body(std::string& out, std::string_view text, OnInvalid on_invalid) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t run = 0;  // start of the pending run of bytes copied verbatim
  std::size_t i = 0;
  while (i < n) {
    const char e = kEscape[s[i]];
    if (e == 0) {
      ++i;
      continue;
    }
    if (e == static_cast<char>(0x80)) {
      const std::size_t len = utf8_sequence_length(s + i, n - i);
      if (len != 0) {
        i += len;
        continue;
      }
      if (on_invalid == OnInvalid::Fail) return false;
      out.append(text.data() + run, i - run);
      const char esc[6] = {'\\', 'u', 'd', 'c', kHexDigits[s[i] >> 4], kHexDigits[s[i] & 0xF]};
      out.append(esc, sizeof esc);
      ++i;
      run = i;
      continue;
    }
    out.append(text.data() + run, i - run);
    if (e == 'u') {
      const char esc[6] = {'\\', 'u', '0', '0', kHexDigits[s[i] >> 4], kHexDigits[s[i] & 0xF]};
      out.append(esc, sizeof esc);
    } else {
      const char esc[2] = {'\\', e};
      out.append(esc, sizeof esc);
    }
    ++i;
    run = i;
  }
  out.append(text.data() + run, n - run);
  return true;
}

template <class T>
void append_integer(std::string& out, T v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  out.push_back('"');
  if (!append_escaped_body(out, text, OnInvalid::Fail)) {
    // Not well-formed UTF-8: start again from the repaired text, which always succeeds.
    out.resize(start + 1);
    append_escaped_body(out, utf8_lossy(text), OnInvalid::Fail);
  }
  out.push_back('"');
}

void append_name(std::string& out, std::string_view name) {
  out.push_back('"');
  append_escaped_body(out, name, OnInvalid::EscapeAsSurrogate);
  out.push_back('"');
}

void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.push_back('0');
    return;
  }
  if (std::signbit(value)) out.push_back('-');
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0) {
    out.append("0.0");
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "1.2345e+02" or "5e-324".
  char sci[40];
  const auto res = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
  const char* end = res.ptr;
  char digits[24];
  std::size_t ndigits = 0;
  const char* p = sci;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.' && ndigits < sizeof digits) digits[ndigits++] = *p;
  }
  int exponent = 0;
  if (p < end) {
    ++p;  // 'e'
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    std::from_chars(p, end, exponent);
    if (negative) exponent = -exponent;
  }
  if (ndigits == 0) {  // cannot happen for a finite non-zero value; keep the output a valid number anyway
    out.append("0.0");
    return;
  }
  const std::string_view d(digits, ndigits);
  if (exponent >= -5 && exponent <= 15) {
    if (exponent >= 0) {
      const std::size_t int_len = static_cast<std::size_t>(exponent) + 1;
      if (ndigits <= int_len) {
        out.append(d);
        out.append(int_len - ndigits, '0');
        out.append(".0");
      } else {
        out.append(d.substr(0, int_len));
        out.push_back('.');
        out.append(d.substr(int_len));
      }
    } else {
      out.append("0.");
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out.append(d);
    }
    return;
  }
  out.push_back(d[0]);
  if (ndigits > 1) {
    out.push_back('.');
    out.append(d.substr(1));
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  append_integer(out, exponent < 0 ? -exponent : exponent);
}

void append_hex(std::string& out, std::string_view bytes) {
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  char* dst = out.data() + start;
  for (const char ch : bytes) {
    const auto b = static_cast<std::uint8_t>(ch);
    *dst++ = kHexDigits[b >> 4];
    *dst++ = kHexDigits[b & 0xF];
  }
}

bool append_number(std::string& out, const ColumnValue& v) {
  switch (v.tag) {
    case ValueTag::Bool:
      out.append(v.u != 0 ? "true" : "false");
      return true;
    case ValueTag::I8:
    case ValueTag::I16:
    case ValueTag::I32:
    case ValueTag::I64:
      append_integer(out, v.i);
      return true;
    case ValueTag::U8:
    case ValueTag::U16:
    case ValueTag::U32:
    case ValueTag::U64:
    case ValueTag::DateTime:
    case ValueTag::Currency:
      append_integer(out, v.u);
      return true;
    case ValueTag::F32:
    case ValueTag::F64:
      append_double(out, v.f);
      return true;
    default:
      return false;
  }
}

void append_value(std::string& out, const ColumnValue& v) {
  if (append_number(out, v)) return;
  switch (v.tag) {
    case ValueTag::Null:
      out.append("null");
      return;
    default:  // numbers: written above
      return;
    case ValueTag::Guid:
      out.push_back('"');
      out.append(guid_text(v.guid));
      out.push_back('"');
      return;
    case ValueTag::Binary:
    case ValueTag::MultiValue:
    case ValueTag::LongBinary:
      out.push_back('"');
      append_hex(out, v.bytes);
      out.push_back('"');
      return;
    case ValueTag::Text:
      append_string(out, v.bytes);
      return;
    case ValueTag::Timestamp:
      out.push_back('"');
      append_iso8601(out, v.i);
      out.push_back('"');
      return;
    case ValueTag::List:
      out.push_back('[');
      for (std::size_t k = 0; k < v.elements.size(); ++k) {
        if (k) out.push_back(',');
        append_value(out, v.elements[k]);
      }
      out.push_back(']');
      return;
  }
  out.append("null");
}

RowEncoder::RowEncoder(const TableInfo& table, MemberNames names, bool deleted_marker) {
  struct Keyed {
    std::string_view key;
    std::size_t position;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(table.row_order.size() + 1);
  for (std::size_t k = 0; k < table.row_order.size(); ++k) {
    keyed.push_back({names == MemberNames::Keys ? table.column_keys[k] : table.row_column(k).name, k});
  }
  if (deleted_marker) keyed.push_back({table.deleted_key, kMarker});
  // By raw key bytes: string_view compares by char_traits<char>, which orders bytes as unsigned char.
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
  members_.reserve(keyed.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) {
    // Of several columns with the same name, the later one in row order wins.
    if (i + 1 < keyed.size() && keyed[i + 1].key == keyed[i].key) continue;
    std::string prefix(members_.empty() ? "{" : ",");
    append_name(prefix, keyed[i].key);
    prefix.push_back(':');
    members_.push_back({keyed[i].position, std::move(prefix)});
  }
}

void RowEncoder::append_row(std::string& out, const Row& row, bool deleted) const {
  if (members_.empty()) {
    out.append("{}\n");
    return;
  }
  for (const Member& m : members_) {
    out.append(m.prefix);
    if (m.position < row.values.size()) {
      append_value(out, row.values[m.position]);
    } else if (m.position == kMarker) {
      out.append(deleted ? "true" : "false");
    } else {
      out.append("null");
    }
  }
  out.append("}\n");
}

}  // namespace pw::json
