// Fuzz target: the record decoder alone. The first bytes describe a small table (columns with their ids,
// types, sizes, codepages, flags and defaults) and the page mode; the rest is one data record.
//
// Input layout: byte 0: bit 0 large-page mode, bits 1-3 column count - 1. Then per column 6 bytes:
// id selector, type, space usage, codepage selector, flag bits, default length (defaults follow the
// descriptors, in column order). Everything left is the record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalog/table_info.hpp"
#include "export/json_writer.hpp"
#include "fuzz_checks.hpp"
#include "record/record.hpp"
#include "utils/text.hpp"

namespace {

// Ids around the boundaries of the fixed (1-127), variable (128-255) and tagged (256+) ranges.
std::uint32_t column_id(std::uint8_t selector) {
  const std::uint32_t low = selector & 0x3F;
  switch (selector >> 6) {
    case 0:
      return low;  // 0..63: fixed (and the invalid 0)
    case 1:
      return 128 + low;  // variable
    case 2:
      return 256 + low;  // tagged
    default:
      return low < 32 ? 96 + low : 65504 + low;  // the ends of the ranges
  }
}

std::uint32_t codepage(std::uint8_t selector) {
  switch (selector & 3) {
    case 0:
      return pw::kCodepageUnicode;
    case 1:
      return pw::kCodepageWestern;
    case 2:
      return pw::kCodepageAscii;
    default:
      return 65001;  // not one the reader knows
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pwfuzz::Reader in(data, size);
  const std::uint8_t head = in.u8();
  const bool large = (head & 1) != 0;
  const std::size_t ncols = ((head >> 1) & 7) + 1;

  struct Descriptor {
    std::uint8_t id, type, space, codepage, flags, default_len;
  };
  Descriptor desc[8];
  for (std::size_t k = 0; k < ncols; ++k) {
    desc[k] = {in.u8(), in.u8(), in.u8(), in.u8(), in.u8(), in.u8()};
  }

  pw::TableInfo table = pw::TableInfo::create("t", 5, 0);
  for (std::size_t k = 0; k < ncols; ++k) {
    const Descriptor& d = desc[k];
    pw::ColumnInfo c;
    c.name = "c" + std::to_string(k);
    c.id = column_id(d.id);
    c.column_type = d.type % 20;  // 0..18 and one unknown code
    // 0xFE and 0xFF stand for sizes far beyond any record.
    c.space_usage = d.space == 0xFF ? 0xFFFFFFFFu : d.space == 0xFE ? 0x10000u : d.space;
    if (d.codepage & 4) c.codepage = codepage(d.codepage);
    if (d.flags & 1) c.flags |= pw::column_flag::kNotNull;
    if (d.flags & 2) c.flags |= pw::column_flag::kHasDefault;
    if (d.flags & 4) c.flags |= pw::column_flag::kCompressed;
    if (d.flags & 8) {
      const auto def = in.take(d.default_len);
      c.default_value = std::string(reinterpret_cast<const char*>(def.data()), def.size());
    }
    table.columns.insert_or_assign(c.name, std::move(c));
  }
  table.finalize();

  const pw::Bytes record(in.rest(), in.remaining());
  pw::Row row;
  pw::decode_record(record, table, large, row);
  pwfuzz::require(row.values.size() == table.row_order.size(), "row size differs from the column count");
  for (const std::size_t pos : row.long_value_refs) {
    pwfuzz::require(pos < row.values.size(), "long-value reference position out of range");
    pwfuzz::require(row.values[pos].tag == pw::ValueTag::LongBinary, "long-value reference is not LongBinary");
  }
  for (const auto& v : row.values) {
    if (v.tag == pw::ValueTag::Text) pwfuzz::require(pwfuzz::is_utf8(v.bytes), "Text value is not valid UTF-8");
  }

  // A second decode into the same row must give the same values (the row is reused by the cursor).
  pw::Row again;
  again.values.resize(3);
  again.long_value_refs.push_back(7);
  pw::decode_record(record, table, large, again);
  pwfuzz::require(again.values.size() == row.values.size() && again.long_value_refs == row.long_value_refs,
                  "decoding the same record twice differs");

  std::string line;
  pw::json::RowEncoder(table).append_row(line, row);
  pwfuzz::require(pwfuzz::is_utf8(line), "JSON line is not valid UTF-8");
  return 0;
}
