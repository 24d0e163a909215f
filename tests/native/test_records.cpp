// Text decoding, column values, decompression and record layout.
#include <cmath>
#include <string>
#include <vector>

#include "catalog/table_info.hpp"
#include "check.hpp"
#include "record/record.hpp"
#include "record/decompress.hpp"
#include "record/parser.hpp"
#include "utils/text.hpp"

using namespace pw;
using Buf = std::vector<std::uint8_t>;

namespace {

std::string decoded(const Buf& b, std::uint32_t cp) {
  auto r = decode_string(b, cp);
  return r ? r.value() : "ERR:" + r.error().to_string();
}

ColumnInfo col(std::uint32_t id, std::uint32_t type, std::uint32_t space = 0, std::uint32_t cp = 1252,
               std::uint32_t flags = 0) {
  ColumnInfo c;
  c.name = "c" + std::to_string(id);
  c.id = id;
  c.column_type = type;
  c.space_usage = space;
  c.codepage = cp;
  c.flags = flags;
  return c;
}

TableInfo table_of(std::vector<ColumnInfo> cols) {
  TableInfo t = TableInfo::create("t", 0, 0);
  for (auto& c : cols) t.columns.insert_or_assign(c.name, c);
  t.finalize();
  return t;
}

Row decode(const Buf& rec, const TableInfo& t, bool large = false) {
  Row row;
  decode_record(rec, t, large, row);
  return row;
}

ColumnValue value(const Buf& b, const ColumnInfo& c) {
  auto r = RecordParser::parse_column_value(b, c);
  return r ? r.value() : ColumnValue::with_bytes(ValueTag::Text, "ERR");
}

}  // namespace

TEST(decode_string_by_codepage) {
  CHECK_EQ(decoded({'A', 0, 'B', 0}, 1200), "AB");
  CHECK_EQ(decoded({'A', 0, 'B'}, 1200), "A\xEF\xBF\xBD");
  CHECK_EQ(decoded({0x80}, 1252), "\xE2\x82\xAC");
  CHECK_EQ(decoded({0x81}, 1252), "\xC2\x81");
  CHECK_EQ(decoded({0xE9}, 20127), "\xC3\xA9");
  CHECK_EQ(decoded({0xEF, 0xBB, 0xBF, 'A'}, 1252), "A");
  CHECK_EQ(decoded({0xFF, 0xFE, 'A', 0}, 1252), "A");
  CHECK_EQ(decoded({0xFE, 0xFF, 0, 'A'}, 1200), "A");
  CHECK_EQ(decoded({0x00, 0xD8, 'A', 0}, 1200),
           "\xEF\xBF\xBD"
           "A");
  CHECK_EQ(decoded({0x3E, 0xD8, 0x8A, 0xDD}, 1200), "\xF0\x9F\xA6\x8A");  // a surrogate pair
  CHECK_EQ(decoded({'A', 0, 0, 0}, 1200), std::string("A\0", 2));
  CHECK_EQ(decoded({'A'}, 65001), "ERR:Unknown codepage: 65001");
  CHECK_EQ(decoded({}, 0), "ERR:Unknown codepage: 0");
  CHECK_EQ(decoded({}, 1252), "");
}

TEST(column_values_by_type) {
  CHECK(value({}, col(1, 4)).is_null());
  CHECK(value({1, 2}, col(1, 0)).is_null());
  CHECK(value({1, 2}, col(1, 13)).is_null());
  CHECK(value({1, 2}, col(1, 18)).is_null());
  auto b = value({2}, col(1, 1));
  CHECK(b.tag == ValueTag::Bool && b.u == 1);
  auto u16 = value({1, 2}, col(1, 2));
  CHECK(u16.tag == ValueTag::U16 && u16.u == 513);
  auto three = value({1, 2, 3}, col(1, 2));
  CHECK(three.tag == ValueTag::Binary && three.bytes == "\x01\x02\x03");
  auto i16 = value({0xFF, 0xFF}, col(1, 3));
  CHECK(i16.tag == ValueTag::I16 && i16.i == -1);
  auto us = value({0xFF, 0xFF}, col(1, 17));
  CHECK(us.tag == ValueTag::U16 && us.u == 65535);
  auto ll = value(Buf(8, 0xFF), col(1, 15));
  CHECK(ll.tag == ValueTag::I64 && ll.i == -1);
  auto i32 = value({1, 0, 0, 0, 9, 9}, col(1, 4));
  CHECK(i32.tag == ValueTag::I32 && i32.i == 1);
  auto g = value({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, col(1, 16));
  CHECK(g.tag == ValueTag::Guid && guid_text(g.guid) == "03020100-0504-0706-0809-0a0b0c0d0e0f");
  auto f = value({0xCD, 0xCC, 0x8C, 0x3F}, col(1, 6));  // 1.1f widened exactly
  CHECK(f.tag == ValueTag::F32 && f.f == static_cast<double>(1.1f));
  // Shorter than the type's width: the bytes present, never a read past them.
  auto short_long = value({1, 2}, col(1, 4));
  CHECK(short_long.tag == ValueTag::Binary && short_long.bytes.size() == 2);
  auto bad_cp = RecordParser::parse_column_value(Buf{'a'}, col(1, 10, 0, 65001));
  CHECK(!bad_cp && bad_cp.error().kind() == ErrorKind::UnknownCodepage);
  CHECK_EQ(column_type_name(12), "Long Text");
  CHECK_EQ(column_type_name(15), "Long long");
}

TEST(seven_bit_unpacking) {
  CHECK(unpack_7bit(Buf{0xC1, 0x60}) == (Buf{0x41, 0x41}));
  // "AB" packed: 2 units = 14 bits in 2 bytes; header 0x0D says 6 valid bits in the last byte (5 + 1).
  const Buf ab = {0x0D, 0x41, 0x21};
  CHECK(decompress_7bit_units(ab) == (Buf{'A', 'B'}));
  // Seven units fill 49 bits in 7 bytes: floor(56/7) = 8 units, the eighth is padding and dropped.
  Buf seven = {0x08};
  std::uint64_t acc = 0;
  for (int k = 0; k < 7; ++k) acc |= static_cast<std::uint64_t>('a' + k) << (7 * k);
  for (int k = 0; k < 7; ++k) seven.push_back(static_cast<std::uint8_t>(acc >> (8 * k)));
  CHECK(decompress_7bit_units(seven) == (Buf{'a', 'b', 'c', 'd', 'e', 'f', 'g'}));
  seven[0] = 0x0F;  // all 8 bits valid: eight units, the last one (0) is real
  CHECK_EQ(decompress_7bit_units(seven).size(), 8u);
}

TEST(xpress_streams) {
  // "abc" as literals then a match of length 6 at offset 3 -> "abcabcabc".
  const Buf stream = {0x00, 0x00, 0x00, 0x10, 'a', 'b', 'c', 0x13, 0x00};
  auto out = lz77_decompress(stream, 9);
  CHECK(out && std::string(out->begin(), out->end()) == "abcabcabc");
  CHECK(!lz77_decompress(stream, 10));                   // short of the stated size
  const Buf far = {0x00, 0x00, 0x00, 0x80, 0xF8, 0xFF};  // offset beyond the output start
  CHECK(!lz77_decompress(far, 5));
  Buf value = {0x18, 9, 0};
  value.insert(value.end(), stream.begin(), stream.end());
  auto full = decompress_xpress(value);
  CHECK(full && full->size() == 9);
  // A hostile 64 KiB size over a 10-byte value fails without reading or writing out of bounds.
  const Buf hostile = {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x00, 0x00};
  CHECK(!decompress_xpress(hostile));
}

TEST(compressed_tagged_values) {
  const auto text = col(256, 12, 0, 1252);
  auto ascii = decompress_tagged(Buf{0x0D, 0x41, 0x21}, text);
  CHECK(ascii.tag == ValueTag::Text && ascii.bytes == "AB");
  const auto unicode = col(256, 12, 0, 1200);
  auto wide = decompress_tagged(Buf{0x15, 0x41, 0x21}, unicode);
  CHECK(wide.tag == ValueTag::Text && wide.bytes == "AB");
  auto unknown = decompress_tagged(Buf{0x28, 1, 2}, text);
  CHECK(unknown.tag == ValueTag::Binary && unknown.bytes == std::string("\x28\x01\x02"));
  auto corrupt_xpress = decompress_tagged(Buf{0x18, 0x50, 0x00, 'h', 'i'}, text);
  CHECK(corrupt_xpress.tag == ValueTag::Text && corrupt_xpress.bytes == std::string("\x50\x00hi", 4));
  auto binary = decompress_tagged(Buf{0x0D, 0x41, 0x21}, col(256, 11));
  CHECK(binary.tag == ValueTag::Binary && binary.bytes == "AB");
  CHECK(decompress_tagged(Buf{}, text).tag == ValueTag::Binary);
}

TEST(record_fixed_variable_and_null_bitmap) {
  // Columns: 1 Long, 2 Short, 128 Text, 129 Text.
  const auto t = table_of({col(1, 4, 4), col(2, 3, 2), col(128, 10), col(129, 10)});
  // last fixed 2, last variable 129; fixed data 4+2 bytes, bitmap 1 byte at 10, offsets at 11.
  Buf rec = {2, 129, 11, 0, 7, 0, 0, 0, 5, 0, 0xFC, 2, 0x80 | 0, 0x02 | 0, 'h', 'i'};
  // variable entries: 128 -> end 2 ("hi"), 129 -> 0x8002 (no value)
  rec[11] = 2;
  rec[12] = 0;
  rec[13] = 0x02;
  rec[14] = 0x80;
  rec.resize(15);
  rec.push_back('h');
  rec.push_back('i');
  auto row = decode(rec, t);
  CHECK(row.values[0].tag == ValueTag::I32 && row.values[0].i == 7);
  CHECK(row.values[1].tag == ValueTag::I16 && row.values[1].i == 5);
  CHECK(row.values[2].tag == ValueTag::Text && row.values[2].bytes == "hi");
  CHECK(row.values[3].is_null());
  rec[10] = 0xFD;  // bit 0 set: column 1 is NULL, column 2 still read
  row = decode(rec, t);
  CHECK(row.values[0].is_null() && row.values[1].i == 5);
  // A record of fewer than 4 bytes gives every column Null.
  row = decode(Buf{1, 2}, t);
  CHECK(row.values.size() == 4 && row.values[0].is_null() && row.values[2].is_null());
}

TEST(record_columns_added_later_take_defaults) {
  auto with_default = col(3, 4, 4, 1252, column_flag::kHasDefault);
  with_default.default_value = std::string("\x2A\x00\x00\x00", 4);
  auto tagged_default = col(256, 10, 0, 1252, column_flag::kHasDefault);
  tagged_default.default_value = "dflt";
  const auto t = table_of({col(1, 4, 4), with_default, tagged_default, col(257, 10)});
  const Buf rec = {1, 127, 9, 0, 1, 0, 0, 0, 0xFE};  // only column 1 stored; bitmap byte says not null
  auto row = decode(rec, t);
  CHECK(row.values[0].i == 1);
  CHECK(row.values[1].tag == ValueTag::I32 && row.values[1].i == 42);
  CHECK(row.values[2].tag == ValueTag::Text && row.values[2].bytes == "dflt");
  CHECK(row.values[3].is_null());
}

TEST(record_tagged_area) {
  const auto t = table_of({col(256, 10), col(257, 11), col(258, 9), col(259, 10)});
  // No variable columns: tagged directory at variable_offsets_start (4).
  // Entries: 256 @ 16 (flag byte 0x00, "ab"), 257 @ 19 flag 0x04 lv ref, 258 @ 24 flag 0x0B, 256 again @ 27 "zz"
  Buf rec = {0, 0, 4, 0};
  auto entry = [&](std::uint16_t id, std::uint16_t w) {
    rec.push_back(static_cast<std::uint8_t>(id));
    rec.push_back(static_cast<std::uint8_t>(id >> 8));
    rec.push_back(static_cast<std::uint8_t>(w));
    rec.push_back(static_cast<std::uint8_t>(w >> 8));
  };
  entry(256, 0x4000 | 16);
  entry(257, 0x4000 | 19);
  entry(258, 0x4000 | 24);
  entry(256, 27);
  const Buf values = {0x00, 'a', 'b', 0x04, 1, 0, 0, 0, 0x0B, 'm', 'v', 'z', 'z'};
  rec.insert(rec.end(), values.begin(), values.end());
  auto row = decode(rec, t);
  CHECK(row.values[0].tag == ValueTag::Text && row.values[0].bytes == "zz");  // the later entry wins
  CHECK(row.values[1].tag == ValueTag::LongBinary && row.values[1].bytes.size() == 4);
  CHECK(row.long_value_refs.size() == 1 && row.long_value_refs[0] == 1);
  CHECK(row.values[2].tag == ValueTag::MultiValue && row.values[2].bytes == "mv");  // 0x08 before 0x02
  CHECK(row.values[3].is_null());
  // An entry whose offset is beyond the next one's gives no value; the others are unaffected.
  Buf swapped = rec;
  swapped[14] = 30;  // entry 2 (258) offset 30 > entry 3's 27
  row = decode(swapped, t);
  CHECK(row.values[2].is_null() && row.values[0].bytes == "zz");
}

TEST(record_tagged_large_page_offsets) {
  // 4096 tagged values: the directory is 16 KiB, so the first offset word is 0x4000 — a real offset there.
  std::vector<ColumnInfo> cols;
  for (std::uint32_t k = 0; k < 4096; ++k) cols.push_back(col(256 + k, 2, 0));
  const auto t = table_of(cols);
  Buf rec = {0, 0, 4, 0};
  const std::uint32_t dir = 4096 * 4;
  for (std::uint32_t k = 0; k < 4096; ++k) {
    const std::uint32_t off = dir + 2 * k;
    rec.push_back(static_cast<std::uint8_t>(256 + k));
    rec.push_back(static_cast<std::uint8_t>((256 + k) >> 8));
    rec.push_back(static_cast<std::uint8_t>(off));
    rec.push_back(static_cast<std::uint8_t>(off >> 8));
  }
  for (std::uint32_t k = 0; k < 4096; ++k) {
    rec.push_back(0);  // flag byte
    rec.push_back(static_cast<std::uint8_t>(k));
  }
  auto row = decode(rec, t, true);
  CHECK(row.values[0].tag == ValueTag::U8 && row.values[0].u == 0);
  CHECK(row.values[4095].tag == ValueTag::U8 && row.values[4095].u == 0xFF);
  CHECK(row.values[1234].u == (1234 & 0xFF));
}

TEST(record_variable_negative_length_is_null) {
  const auto t = table_of({col(128, 9), col(129, 9)});
  const Buf rec = {0, 129, 4, 0, 4, 0, 2, 0, 'a', 'b', 'c', 'd'};
  auto row = decode(rec, t);
  CHECK(row.values[0].tag == ValueTag::Binary && row.values[0].bytes == "abcd");
  CHECK(row.values[1].is_null());
}
