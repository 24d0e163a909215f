// Text decoding, column values, decompression and record layout.
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "catalog/table_info.hpp"
#include "check.hpp"
#include "record/decompress.hpp"
#include "record/parser.hpp"
#include "record/record.hpp"
#include "utils/text.hpp"

using namespace pw;
using Buf = std::vector<std::uint8_t>;

namespace {

ColumnInfo col(std::uint32_t id, std::uint32_t type, std::uint32_t space = 0, std::uint32_t cp = 1252,
               std::uint32_t flags = 0) {
  ColumnInfo c;
  c.name = std::to_string(id);
  c.id = id;
  c.column_type = type;
  c.space_usage = space;
  c.codepage = cp;
  c.flags = flags;
  return c;
}

// The record decoded as a row of a table of the given columns (small pages).
Row decode(const Buf& rec, const std::vector<ColumnInfo>& cols) {
  TableInfo t = TableInfo::create("t", 0, 0);
  for (const auto& c : cols) t.columns.insert_or_assign(c.name, c);
  t.finalize();
  Row row;
  decode_record(rec, t, false, row);
  return row;
}

// A value as "<tag number>:<value>": the signed or unsigned integer, the float to 17 digits, the GUID text or
// the bytes.
std::string show(const ColumnValue& v) {
  const int tag = static_cast<int>(v.tag);
  std::ostringstream os;
  os << tag << ':' << std::setprecision(17);
  if (tag >= 2 && tag <= 8 && tag % 2 == 0) {
    os << v.i;  // I8, I16, I32, I64
  } else if (tag >= 1 && tag <= 9) {
    os << v.u;  // Bool and the unsigned kinds
  } else if (v.tag == ValueTag::F32 || v.tag == ValueTag::F64) {
    os << v.f;
  } else {
    os << (v.tag == ValueTag::Guid ? guid_text(v.guid) : v.bytes);
  }
  return v.is_null() ? "null" : os.str();
}

std::string tagged(ValueTag tag, const std::string& value) {
  return std::to_string(static_cast<int>(tag)) + ":" + value;
}

}  // namespace

TEST(decode_string_by_codepage) {
  const std::tuple<Buf, std::uint32_t, std::string> cases[] = {
      {{'A', 0, 'B', 0}, 1200, "AB"},
      {{'A', 0, 'B'}, 1200, "A\xEF\xBF\xBD"},
      {{0x80}, 1252, "\xE2\x82\xAC"},
      {{0x81}, 1252, "\xC2\x81"},
      {{0xE9}, 20127, "\xC3\xA9"},
      {{0xEF, 0xBB, 0xBF, 'A'}, 1252, "A"},
      {{0xFF, 0xFE, 'A', 0}, 1252, "A"},
      {{0xFE, 0xFF, 0, 'A'}, 1200, "A"},
      {{0x00, 0xD8, 'A', 0}, 1200, "\xEF\xBF\xBD\x41"},
      {{0x3E, 0xD8, 0x8A, 0xDD}, 1200, "\xF0\x9F\xA6\x8A"},  // a surrogate pair
      {{'A', 0, 0, 0}, 1200, std::string("A\0", 2)},
      // ASCII runs long enough to be scanned a word at a time, broken at and after a word's edge
      {{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0xE9, 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 0x80, 'q'},
       1252,
       "abcdefgh\xC3\xA9ijklmnop\xE2\x82\xACq"},
      {{'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e', 0, 0xE9, 0, 'f', 0},
       1200,
       "abcde\xC3\xA9"
       "f"},
      {{0xFE, 0xFF, 0, 'a', 0, 'b', 0, 'c', 0, 'd', 0, 0xE9}, 1200, "abcd\xC3\xA9"},
      {{'A'}, 65001, "ERR:Unknown codepage: 65001"},
      {{}, 0, "ERR:Unknown codepage: 0"},
      {{}, 1252, ""}};
  for (const auto& [bytes, cp, want] : cases) {
    auto r = decode_string(bytes, cp);
    CHECK_EQ(r ? r.value() : "ERR:" + r.error().to_string(), want);
  }
}

TEST(column_values_by_type) {
  const std::tuple<Buf, std::uint32_t, std::string> cases[] = {
      {{}, 4, "null"},
      {{1, 2}, 0, "null"},
      {{1, 2}, 13, "null"},
      {Buf(8, 0xFF), 18, tagged(ValueTag::U64, "18446744073709551615")},
      {{2}, 1, tagged(ValueTag::Bool, "1")},
      {{1, 2}, 2, tagged(ValueTag::U16, "513")},
      {{1, 2, 3}, 2, tagged(ValueTag::Binary, "\x01\x02\x03")},
      {{0xFF, 0xFF}, 3, tagged(ValueTag::I16, "-1")},
      {{0xFF, 0xFF}, 17, tagged(ValueTag::U16, "65535")},
      {Buf(8, 0xFF), 15, tagged(ValueTag::I64, "-1")},
      {{1, 0, 0, 0, 9, 9}, 4, tagged(ValueTag::I32, "1")},
      {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
       16,
       tagged(ValueTag::Guid, "03020100-0504-0706-0809-0a0b0c0d0e0f")},
      {{0xCD, 0xCC, 0x8C, 0x3F}, 6, tagged(ValueTag::F32, "1.1000000238418579")},  // 1.1f widened exactly
      // Shorter than the type's width: the bytes present, never a read past them.
      {{1, 2}, 4, tagged(ValueTag::Binary, "\x01\x02")}};
  for (const auto& [bytes, type, want] : cases) {
    auto r = RecordParser::parse_column_value(bytes, col(1, type));
    CHECK_EQ(r ? show(r.value()) : "ERR", want);
  }
  auto bad_cp = RecordParser::parse_column_value(Buf{'a'}, col(1, 10, 0, 65001));
  CHECK(!bad_cp && bad_cp.error().kind() == ErrorKind::UnknownCodepage);
}

TEST(seven_bit_unpacking) {
  CHECK(unpack_7bit(Buf{0xC1, 0x60}) == (Buf{0x41, 0x41}));
  // "AB" packed: 2 units = 14 bits in 2 bytes; header 0x0D says 6 valid bits in the last byte (5 + 1).
  CHECK(decompress_7bit_units(Buf{0x0D, 0x41, 0x21}) == (Buf{'A', 'B'}));
  // Seven units fill 49 bits in 7 bytes: floor(56/7) = 8 units, the eighth is padding and dropped.
  Buf seven = {0x08, 0x61, 0xF1, 0x98, 0x5C, 0x36, 0x9F, 0x01};  // "abcdefg", 7 bits each from the lowest
  CHECK(decompress_7bit_units(seven) == (Buf{'a', 'b', 'c', 'd', 'e', 'f', 'g'}));
  seven[0] = 0x0F;  // all 8 bits valid: eight units, the last one (0) is real
  CHECK_EQ(decompress_7bit_units(seven).size(), 8u);
}

TEST(xpress_streams) {
  // "abc" as literals then a match of length 6 at offset 3 -> "abcabcabc".
  const Buf stream = {0x00, 0x00, 0x00, 0x10, 'a', 'b', 'c', 0x13, 0x00};
  auto out = lz77_decompress(stream, 9);
  CHECK(out && std::string(out->begin(), out->end()) == "abcabcabc");
  CHECK(!lz77_decompress(stream, 10));                                  // short of the stated size
  CHECK(!lz77_decompress(Buf{0x00, 0x00, 0x00, 0x80, 0xF8, 0xFF}, 5));  // offset beyond the output start
  Buf value = {0x18, 9, 0};
  value.insert(value.end(), stream.begin(), stream.end());
  auto full = decompress_xpress(value);
  CHECK(full && full->size() == 9);
  // A hostile 64 KiB size over a 10-byte value fails without reading or writing out of bounds.
  CHECK(!decompress_xpress(Buf{0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x00, 0x00}));
}

TEST(compressed_tagged_values) {
  const std::tuple<Buf, ColumnInfo, std::string> cases[] = {
      {{0x0D, 0x41, 0x21}, col(256, 12, 0, 1252), tagged(ValueTag::Text, "AB")},
      {{0x15, 0x41, 0x21}, col(256, 12, 0, 1200), tagged(ValueTag::Text, "AB")},
      {{0x28, 1, 2}, col(256, 12), tagged(ValueTag::Binary, "\x28\x01\x02")},  // unknown scheme: as stored
      {{0x18, 0x50, 0x00, 'h', 'i'}, col(256, 12), tagged(ValueTag::Text, std::string("\x50\x00hi", 4))},
      {{0x0D, 0x41, 0x21}, col(256, 11), tagged(ValueTag::Binary, "AB")},
      {{}, col(256, 12), tagged(ValueTag::Binary, "")}};
  for (const auto& [bytes, column, want] : cases) CHECK_EQ(show(decompress_tagged(bytes, column)), want);
}

TEST(records_fixed_variable_tagged_and_defaults) {
  // 1 Long, 2 Short, 128 and 129 Text: last fixed 2, last variable 129, fixed data 4 + 2 bytes, the null bitmap
  // at 10, variable end offsets from 11: 128 ends at 2 ("hi"), 129 is 0x8002 (no value).
  const std::vector<ColumnInfo> fixed = {col(1, 4, 4), col(2, 3, 2), col(128, 10), col(129, 10)};
  const Buf record = {2, 129, 11, 0, 7, 0, 0, 0, 5, 0, 0xFC, 2, 0, 0x02, 0x80, 'h', 'i'};
  Buf null_first = record;
  null_first[10] = 0xFD;  // bit 0 set: column 1 is NULL, column 2 still read
  // Columns added after the record was written: fixed and tagged defaults.
  auto with_default = col(3, 4, 4, 1252, column_flag::kHasDefault);
  with_default.default_value = std::string("\x2A\x00\x00\x00", 4);
  auto tagged_default = col(256, 10, 0, 1252, column_flag::kHasDefault);
  tagged_default.default_value = "dflt";
  // No variable columns: the tagged directory at 4. 256 @ 16 (flag byte 0x00, "ab"), 257 @ 19 (flag 0x04: a
  // long-value id), 258 @ 24 (flag 0x0B), 256 again @ 27 without a flag byte ("zz").
  const std::vector<ColumnInfo> tagged_cols = {col(256, 10), col(257, 11), col(258, 9), col(259, 10)};
  const Buf tagged_area = {0, 0,  4, 0, 0,   1,   16, 0x40, 1, 1, 19, 0x40, 2,   1,   24,  0x40, 0,
                           1, 27, 0, 0, 'a', 'b', 4,  1,    0, 0, 0,  0x0B, 'm', 'v', 'z', 'z'};
  Buf out_of_order = tagged_area;
  out_of_order[14] = 30;  // 258 starts past the next entry (27) and 257 would end past the record: no values
  const std::string lv = tagged(ValueTag::LongBinary, std::string("\x01\x00\x00\x00", 4));
  const std::tuple<std::vector<ColumnInfo>, Buf, std::string> cases[] = {
      {fixed, record, "6:7|4:5|16:hi|null|"},
      {fixed, null_first, "null|4:5|16:hi|null|"},
      {fixed, {1, 2}, "null|null|null|null|"},  // fewer than 4 bytes
      {{col(1, 4, 4), with_default, tagged_default, col(257, 10)},
       {1, 127, 9, 0, 1, 0, 0, 0, 0xFE},
       "6:1|6:42|16:dflt|null|"},
      {tagged_cols, tagged_area, std::string("16:zz|") + lv + "|17:mv|null|"},  // the later 256 wins; 0x08 before 0x02
      {tagged_cols, out_of_order, "16:zz|null|null|null|"},
      {{col(128, 9), col(129, 9)},
       {0, 129, 4, 0, 4, 0, 2, 0, 'a', 'b', 'c', 'd'},
       "15:abcd|null|"}};  // 129 ends before 128
  for (const auto& [cols, bytes, want] : cases) {
    std::string got;
    for (const auto& v : decode(bytes, cols).values) got += show(v) + "|";
    CHECK_EQ(got, want);
  }
  const auto refs = decode(tagged_area, tagged_cols).long_value_refs;
  CHECK(refs.size() == 1 && refs[0] == 1);
}
