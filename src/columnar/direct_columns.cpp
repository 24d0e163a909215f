#include "direct_columns.hpp"

#include <algorithm>

#include "../record/parser.hpp"
#include "../record/record.hpp"
#include "../utils/text_decoding.hpp"

namespace pw::columnar {
namespace {

bool has_default(const ColumnInfo& c) { return c.default_value && (c.flags & column_flag::kHasDefault); }

constexpr std::size_t kFixedRun = 256;

bool is_eight_byte_type(std::uint32_t type) {
  using namespace column_type;
  return type == kLongLong || type == kUnsignedLongLong || type == kCurrency || type == kDateTime ||
         type == kIEEEDouble;
}

}  // namespace

DirectColumns::DirectColumns(const TableInfo& table, const std::vector<ArrowColumn>& columns,
                             const ArrowTableOptions& options, bool large_pages, std::vector<bool>& decoded)
    : direct_(columns.size(), false), large_(large_pages), fallback_(table.row_order.size(), false) {
  using namespace column_type;
  std::vector<std::size_t> offsets(table.row_order.size(), 4);
  std::size_t offset = 4;
  for (std::size_t k = 0; k < table.row_order.size(); ++k) {
    offsets[k] = offset;
    if (table.row_column(k).id <= 127) offset += table.row_column(k).space_usage;
  }
  for (std::size_t last = 0; last < 256; ++last) {
    std::size_t end = 4;
    for (std::size_t k = 0; k < table.row_order.size() && table.row_column(k).id <= last; ++k)
      end += table.row_column(k).space_usage;
    fixed_end_[last] = end;
  }
  for (std::size_t index = 0; index < columns.size(); ++index) {
    const ArrowColumn& a = columns[index];
    if (a.deleted_marker) continue;
    const ColumnInfo& c = table.row_column(a.position);
    if (a.list || has_default(c) || is_encrypted(c)) continue;
    const TimestampReading reading = options.readings.empty() ? TimestampReading::Auto : options.readings[a.position];
    Column d{index, a.position, c.id, offsets[a.position], c.space_usage, Read::Bytes, reading, 0, options.typed};
    bool take = false;
    if (c.id >= 1 && c.id <= 127) {
      const std::size_t width = a.kind == ArrowKind::Timestamp ? 8 : fixed_width(a.kind);
      switch (a.kind) {
        case ArrowKind::Bool:
          take = c.column_type == kBit && c.space_usage >= 1;
          d.read = Read::Bool;
          break;
        case ArrowKind::U8:
          take = c.column_type == kUnsignedByte && c.space_usage == 1;
          d.read = Read::U8;
          break;
        case ArrowKind::I16:
        case ArrowKind::U16:
        case ArrowKind::I32:
        case ArrowKind::U32:
        case ArrowKind::F32:
          take = c.space_usage >= width;
          d.read = width == 2 ? Read::U16 : Read::U32;
          break;
        case ArrowKind::I64:
        case ArrowKind::U64:
        case ArrowKind::F64:
          take = is_eight_byte_type(c.column_type) && c.space_usage >= 8;
          d.read = Read::U64;
          break;
        case ArrowKind::Timestamp:
          take = is_eight_byte_type(c.column_type) && c.space_usage >= 8;
          d.read = Read::Instant;
          break;
        default:
          break;
      }
      if (take) {
        fixed_.push_back(d);
        largest_fixed_id_ = std::max(largest_fixed_id_, static_cast<std::uint8_t>(c.id));
        fixed_columns_end_ = std::max(fixed_columns_end_, d.offset + d.size);
      }
    } else if (c.id >= 128) {
      if (a.kind == ArrowKind::Binary && (c.column_type == kBinary || c.column_type == kLongBinary)) {
        take = true;
        d.read = Read::Bytes;
      } else if (a.kind == ArrowKind::Utf8 && is_text_column(c)) {
        take = true;
        d.read = Read::Text;
        d.codepage = codepage_of(c);
      }
      if (take) (c.id <= 255 ? variable_ : tagged_).push_back(d);
    }
    if (take) {
      direct_[index] = true;
      decoded[a.position] = false;
    }
  }
}

// Out of line: rows with all their fixed columns stored never get here, and the loops stay small.
template <class T>
[[gnu::noinline]] std::optional<T> DirectColumns::stored_fixed(const FixedRow& row, const Column& c) noexcept {
  if (c.id > row.last_fixed || c.offset + c.size > row.record.size()) return std::nullopt;
  if (!row.null_bits.empty()) {
    const std::size_t bit = c.id - 1;
    if ((read_u8(row.null_bits, bit / 8).value_or(0) >> (bit % 8)) & 1u) return std::nullopt;
  }
  return read_le<T>(row.record, c.offset);
}

template <class T, class Value, class Convert>
void DirectColumns::append_fixed_run(const Column& c, ColumnBuilder& b, Convert convert) const {
  b.append_run<Value>(pending_rows_.size(), [&](std::size_t i, Value& value) {
    const FixedRow& row = pending_rows_[i];
    const std::optional<T> stored = row.all_stored ? read_le<T>(row.record, c.offset) : stored_fixed<T>(row, c);
    return stored && convert(*stored, value);
  });
}

void DirectColumns::flush(std::vector<ColumnBuilder>& builders, std::atomic<std::uint64_t>* unreadable) {
  const auto as_stored = [](auto stored, decltype(stored)& value) {
    value = stored;
    return true;
  };
  for (const Column& c : fixed_) {
    ColumnBuilder& b = builders[c.index];
    switch (c.read) {
      case Read::Bool:
        append_fixed_run<std::uint8_t, bool>(c, b, [](std::uint8_t stored, bool& value) {
          value = stored != 0;
          return true;
        });
        break;
      case Read::U8:
        append_fixed_run<std::uint8_t, std::uint8_t>(c, b, as_stored);
        break;
      case Read::U16:
        append_fixed_run<std::uint16_t, std::uint16_t>(c, b, as_stored);
        break;
      case Read::U32:
        append_fixed_run<std::uint32_t, std::uint32_t>(c, b, as_stored);
        break;
      case Read::U64:
        append_fixed_run<std::uint64_t, std::uint64_t>(c, b, as_stored);
        break;
      case Read::Instant: {
        std::uint64_t unread = 0;
        append_fixed_run<std::uint64_t, std::int64_t>(c, b, [&](std::uint64_t stored, std::int64_t& value) {
          const auto instant = read_instant(stored, c.reading);
          if (!instant) {
            ++unread;
            return false;
          }
          value = *instant;
          return true;
        });
        if (unread) unreadable[c.index].fetch_add(unread, std::memory_order_relaxed);
        break;
      }
      default:
        for (std::size_t i = 0; i < pending_rows_.size(); ++i) b.append_null();
        break;
    }
  }
  pending_rows_.clear();
}

void DirectColumns::append(Bytes rec, std::vector<ColumnBuilder>& builders, std::atomic<std::uint64_t>* unreadable) {
  const std::size_t len = rec.size();
  const RecordHeader header = record_layout::read_record_header(rec);
  const std::uint8_t last_fixed = header.last_fixed_id;
  const std::uint8_t last_variable = header.last_variable_id;
  const std::size_t variable_offsets = header.variable_offsets_start;
  const std::size_t fixed_end = fixed_end_[last_fixed];
  // The fixed-column null bitmap sits between the fixed data and the variable offsets when it fits exactly.
  const std::size_t bitmap_size = (last_fixed + 7u) / 8;
  const bool has_bitmap = last_fixed > 0 && fixed_end + bitmap_size == variable_offsets && variable_offsets <= len;
  const Bytes null_bits = has_bitmap ? rec.subspan(fixed_end, bitmap_size) : Bytes{};
  if (!fixed_.empty()) {
    bool all_stored = last_fixed >= largest_fixed_id_ && len >= fixed_columns_end_;
    // No column marked null: the bits of columns 1..last fixed id are clear (the last byte's spare bits are set).
    for (std::size_t i = 0; all_stored && i < null_bits.size(); ++i) {
      const unsigned used = i + 1 < null_bits.size() || last_fixed % 8 == 0 ? 8 : last_fixed % 8;
      all_stored = (null_bits[i] & ((1u << used) - 1u)) == 0;
    }
    pending_rows_.push_back({rec, null_bits, last_fixed, all_stored});
    // A few hundred records stay in the cache while their fixed columns are read one after the other.
    if (pending_rows_.size() == kFixedRun) flush(builders, unreadable);
  }
  const std::size_t variable_count = last_variable >= 128 ? last_variable - 127u : 0;
  const std::size_t data_start = variable_offsets + 2 * variable_count;
  for (const Column& c : variable_) {
    ColumnBuilder& b = builders[c.index];
    const std::size_t i = c.id - 128;
    const auto end_word = c.id <= last_variable ? read_u16le(rec, variable_offsets + 2 * i) : std::nullopt;
    if (!end_word || (*end_word & record_layout::kVariableNull)) {
      b.append_null();
      continue;
    }
    const std::size_t start =
        i > 0 ? read_u16le(rec, variable_offsets + 2 * (i - 1)).value_or(0) & record_layout::kVariableOffsetMask : 0;
    const std::size_t end = *end_word;
    if (data_start + end > len || end < start || end == start) {
      b.append_null();
      continue;
    }
    append_bytes(rec.subspan(data_start + start, end - start), c, b, unreadable[c.index]);
  }
  for (const Column& c : tagged_) {
    ColumnBuilder& b = builders[c.index];
    if (fallback_[c.position]) continue;
    const TaggedSlot* slot = directory_.find(c.id);
    if (!slot) {
      b.append_null();
      continue;
    }
    Bytes bytes = rec.subspan(slot->start, slot->end - slot->start);
    if (!bytes.empty() && slot->has_flag_byte) bytes = bytes.subspan(1);
    append_bytes(bytes, c, b, unreadable[c.index]);
  }
}

bool DirectColumns::prepare(Bytes rec) {
  for (const Column& c : tagged_) fallback_[c.position] = false;
  fallback_columns_.clear();
  if (tagged_.empty()) return false;
  const RecordHeader h = record_layout::read_record_header(rec);
  directory_.reset();
  directory_.build(rec, tagged_area_start(rec, h), large_);
  constexpr std::uint8_t kDecodedByCursor = tagged_flag::kLongValueReference | tagged_flag::kMultiValue |
                                            tagged_flag::kCompressed | tagged_flag::kEncrypted;
  for (const Column& c : tagged_) {
    const TaggedSlot* slot = directory_.find(c.id);
    if (!slot || !slot->has_flag_byte || slot->end == slot->start) continue;
    if (read_u8(rec, slot->start).value_or(0) & kDecodedByCursor) {
      fallback_[c.position] = true;
      fallback_columns_.push_back(c.index);
    }
  }
  return !fallback_columns_.empty();
}

void DirectColumns::append_bytes(Bytes bytes, const Column& c, ColumnBuilder& b,
                                 std::atomic<std::uint64_t>& unreadable) const {
  // As the record parser: an empty value is no value, and text its codepage cannot decode is none either.
  if (bytes.empty()) return b.append_null();
  bool stored = false;
  if (c.read == Read::Bytes) {
    stored = b.append_bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } else {
    ByteBuffer& data = b.value_data();
    const std::size_t start = data.size();
    if (!text_decoding::decode_string_into(bytes, c.codepage, data)) return b.append_null();
    if (c.trim_nuls) {
      while (data.size() > start && data.back() == '\0') data.pop_back();
    }
    stored = b.end_value(start);
  }
  if (!stored) {  // past what one array holds
    unreadable.fetch_add(1, std::memory_order_relaxed);
    b.append_null();
  }
}

}  // namespace pw::columnar
