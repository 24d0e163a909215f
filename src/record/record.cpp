#include "record.hpp"

#include <algorithm>

#include "../utils/text.hpp"
#include "decompress.hpp"
#include "parser.hpp"
#include "tagged_area.hpp"

namespace pw {
namespace {

ColumnValue parse_or_null(Bytes bytes, const ColumnInfo& column) {
  auto v = RecordParser::parse_column_value(bytes, column);
  return v ? std::move(v.value()) : ColumnValue::null();
}

// The value a column takes when the record holds none for it: its catalog default, or Null.
ColumnValue absent_value(const ColumnInfo& column) {
  if (column.default_value && (column.flags & column_flag::kHasDefault))
    return parse_or_null(as_bytes(*column.default_value), column);
  return ColumnValue::null();
}

}  // namespace

ColumnValue decompress_tagged(Bytes bytes, const ColumnInfo& column, std::optional<Unreadable>* unreadable) {
  if (bytes.empty()) return ColumnValue::with_bytes(ValueTag::Binary, {});
  const CompressionScheme scheme = compression_scheme(bytes[0]);
  if (const auto reason = undecoded_scheme(scheme)) {
    if (unreadable) *unreadable = reason;
    return ColumnValue::with_bytes(ValueTag::Binary, to_byte_string(bytes));
  }
  std::vector<std::uint8_t> out;
  switch (scheme) {
    case CompressionScheme::None:
      out = unpack_7bit(bytes.subspan(1));
      break;
    case CompressionScheme::SevenBitAscii:
      out = decompress_7bit_units(bytes);
      break;
    case CompressionScheme::SevenBitUnicode:
      // Each unit is one character: widened to UTF-16LE for Unicode text and for binary data.
      if (is_text_column(column) && codepage_of(column) != kCodepageUnicode) {
        out = decompress_7bit_units(bytes);
      } else {
        out = *decompress_to_original(bytes);
      }
      break;
    case CompressionScheme::Xpress:
    case CompressionScheme::Lz4:
      if (auto x = decompress_to_original(bytes)) {
        out = std::move(*x);
      } else {
        if (unreadable) *unreadable = Unreadable::CorruptCompressed;
        if (scheme == CompressionScheme::Lz4) return ColumnValue::with_bytes(ValueTag::Binary, to_byte_string(bytes));
        out.assign(bytes.begin() + 1, bytes.end());
      }
      break;
    default:
      break;
  }
  return text_or_binary(out, column);
}

void decode_record(Bytes rec, const TableInfo& table, bool large, Row& row, const std::vector<bool>* wanted) {
  const std::size_t len = rec.size();
  const RecordHeader h = record_layout::read_record_header(rec);
  const std::size_t var_count = h.last_variable_id >= 128 ? h.last_variable_id - 127u : 0;
  const std::size_t var_data_start = h.variable_offsets_start + 2 * var_count;

  // The fixed-column null bitmap sits between the fixed data and the variable offsets when it fits exactly.
  std::size_t fixed_end = 4;
  const std::size_t ncols = table.row_order.size();
  for (std::size_t k = 0; k < ncols; ++k) {
    const ColumnInfo& c = table.row_column(k);
    if (c.id > h.last_fixed_id) break;
    fixed_end += c.space_usage;
  }
  const std::size_t bitmap_len = (h.last_fixed_id + 7u) / 8;
  const bool has_bitmap =
      h.last_fixed_id > 0 && fixed_end + bitmap_len == h.variable_offsets_start && h.variable_offsets_start <= len;
  auto fixed_is_null = [&](std::uint32_t id) {
    const std::size_t bit = id - 1;
    return ((rec[fixed_end + bit / 8] >> (bit % 8)) & 1u) != 0;
  };

  // Values are assigned in place, so a row reused across records keeps its storage and a column left out
  // costs no more than a check.
  row.values.resize(ncols);
  row.long_value_refs.clear();
  row.unreadable.clear();
  // One directory per thread, reused record after record, so decoding a record allocates nothing for it.
  static thread_local TaggedDirectory tagged;
  tagged.reset();
  std::size_t fixed_offset = 4;

  for (std::size_t k = 0; k < ncols; ++k) {
    const ColumnInfo& c = table.row_column(k);
    const std::uint32_t id = c.id;
    ColumnValue& value = row.values[k];
    if (wanted && !(*wanted)[k]) {  // not asked for: only the fixed area's position moves on
      if (id <= h.last_fixed_id) fixed_offset += c.space_usage;
      if (!value.is_null()) value = ColumnValue::null();
      continue;
    }
    if (id <= h.last_fixed_id) {
      const std::size_t end = fixed_offset + c.space_usage;
      if (end > len || (has_bitmap && id >= 1 && fixed_is_null(id))) {
        value = ColumnValue::null();
      } else {
        value = parse_or_null(rec.subspan(fixed_offset, c.space_usage), c);
      }
      fixed_offset = end;
    } else if (id >= 128 && id <= h.last_variable_id) {
      const std::size_t i = id - 128;
      const auto end_word = read_u16le(rec, h.variable_offsets_start + 2 * i);
      if (!end_word || (*end_word & record_layout::kVariableNull)) {
        value = ColumnValue::null();
        continue;
      }
      std::size_t start = 0;
      if (i > 0)
        start =
            read_u16le(rec, h.variable_offsets_start + 2 * (i - 1)).value_or(0) & record_layout::kVariableOffsetMask;
      const std::size_t end = *end_word;
      if (var_data_start + end > len || end < start) {
        value = ColumnValue::null();
        continue;
      }
      value = parse_or_null(rec.subspan(var_data_start + start, end - start), c);
    } else if (id >= 256) {
      if (!tagged.built()) tagged.build(rec, tagged_area_start(rec, h), large);
      const TaggedSlot* slot = tagged.find(id);
      if (!slot) {
        value = absent_value(c);
        continue;
      }
      Bytes bytes = rec.subspan(slot->start, slot->end - slot->start);
      std::uint8_t flags = 0;
      if (!bytes.empty() && slot->has_flag_byte) {
        flags = bytes[0];
        bytes = bytes.subspan(1);
      }
      if (flags & tagged_flag::kLongValueReference) {
        row.long_value_refs.push_back(k);
        value = ColumnValue::with_bytes(ValueTag::LongBinary, to_byte_string(bytes));
      } else if (flags & tagged_flag::kMultiValue) {
        value = ColumnValue::with_bytes(ValueTag::MultiValue, to_byte_string(bytes));
        value.u = flags;
      } else if ((is_encrypted(c) || (flags & tagged_flag::kEncrypted)) && !bytes.empty()) {
        value = ColumnValue::with_bytes(ValueTag::Binary, to_byte_string(bytes));  // the stored ciphertext
        row.unreadable.push_back({k, Unreadable::Encrypted});
      } else if (flags & tagged_flag::kCompressed) {
        std::optional<Unreadable> reason;
        value = decompress_tagged(bytes, c, &reason);
        if (reason) row.unreadable.push_back({k, *reason});
      } else {
        value = parse_or_null(bytes, c);
      }
    } else {
      value = absent_value(c);
    }
  }
}

}  // namespace pw
