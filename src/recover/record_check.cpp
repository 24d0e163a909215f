#include "record_check.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "../record/parser.hpp"
#include "../record/record.hpp"
#include "../utils/text.hpp"
#include "../utils/unicode_text.hpp"

namespace pw {
namespace {

constexpr std::uint8_t kNoVariableColumns = 127;
constexpr std::uint8_t kKnownTaggedFlags = 0x1F;
constexpr std::uint8_t kTwoValueForm = 0x10;
constexpr std::string_view kCheckNames[kRecordCheckCount] = {"null_bitmap_filler", "null_variable_offsets",
                                                              "not_null_columns",   "printable_text",
                                                              "fixed_size_values",  "long_values_resolve"};
// windows-1252 bytes 0x80..0xBF that end text read from slack: the five unassigned ones and symbols that text
// seldom holds but noise often decodes to (‚ ƒ „ † ‡ ˆ ‰ ‹ ˜ › ¤ ¦ ¨ ¬ soft hyphen ¯ ´ ¶ ¸).
constexpr std::uint64_t kUnusualWestern = (1ull << 0x01) | (1ull << 0x02) | (1ull << 0x03) | (1ull << 0x04) |
                                          (1ull << 0x06) | (1ull << 0x07) | (1ull << 0x08) | (1ull << 0x09) |
                                          (1ull << 0x0B) | (1ull << 0x0D) | (1ull << 0x0F) | (1ull << 0x10) |
                                          (1ull << 0x18) | (1ull << 0x1B) | (1ull << 0x1D) | (1ull << 0x24) |
                                          (1ull << 0x26) | (1ull << 0x28) | (1ull << 0x2C) | (1ull << 0x2D) |
                                          (1ull << 0x2F) | (1ull << 0x34) | (1ull << 0x36) | (1ull << 0x38);
// Keys of entries that may follow a record in slack: a u16 local key size of 1..255 bytes.
constexpr std::size_t kMaxFollowingKeySize = 255;

// OLE dates of 1900-01-01 and 2201-01-01 (days since 1899-12-30); FILETIMEs of 1970-01-01 and 2201-01-01.
constexpr double kFirstOleDay = 2.0;
constexpr double kEndOleDay = 109940.0;
constexpr std::uint64_t kFirstFiletime = 116444736000000000ULL;
constexpr std::uint64_t kEndFiletime = 189341280000000000ULL;

// Width of the types whose values have one size; 0 for the others.
std::size_t fixed_type_width(std::uint32_t type) noexcept {
  using namespace column_type;
  switch (type) {
    case kBit:
    case kUnsignedByte:
      return 1;
    case kShort:
    case kUnsignedShort:
      return 2;
    case kLong:
    case kIEEESingle:
    case kUnsignedLong:
      return 4;
    case kCurrency:
    case kIEEEDouble:
    case kDateTime:
    case kLongLong:
    case kUnsignedLongLong:
      return 8;
    case kGUID:
      return 16;
    default:
      return 0;
  }
}

bool is_text_control(std::uint32_t c) noexcept { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

struct TextVerdict {
  bool decodable = true;
  bool printable = true;
};

// Trailing NULs are allowed (some writers store a terminator); a NUL before other characters is not text.
TextVerdict check_text(Bytes b, const ColumnInfo& column) {
  TextVerdict v;
  const std::uint32_t cp = codepage_of(column);
  if (!is_known_codepage(cp)) return v;
  bool seen_nul = false;
  auto see = [&](std::uint32_t c) {
    if (c == 0) {
      seen_nul = true;
      return;
    }
    if (seen_nul) v.decodable = false;
    if (is_text_control(c) || c == 0x7F) v.printable = false;
  };
  if (cp == kCodepageUnicode) {
    if (b.size() % 2 != 0) return {false, false};
    bool pending_high = false;
    for (std::size_t k = 0; k + 1 < b.size(); k += 2) {
      const std::uint32_t u = b[k] | (static_cast<std::uint32_t>(b[k + 1]) << 8);
      const bool high = u >= 0xD800 && u <= 0xDBFF;
      const bool low = u >= 0xDC00 && u <= 0xDFFF;
      if (pending_high != low) v.decodable = false;
      pending_high = high;
      see(u);
    }
    if (pending_high) v.decodable = false;
  } else {
    for (const std::uint8_t c : b) {
      if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) v.decodable = false;
      see(c);
    }
  }
  if (!v.decodable) v.printable = false;
  return v;
}

bool plausible_fixed_value(Bytes b, const ColumnInfo& column) {
  switch (column.column_type) {
    case column_type::kBit:
      return b.size() == 1 && (b[0] == 0x00 || b[0] == 0x01 || b[0] == 0xFF);
    case column_type::kDateTime: {
      const auto v = read_u64le(b, 0);
      if (!v) return false;
      if (*v == 0) return true;
      const double days = std::bit_cast<double>(*v);
      if (std::isfinite(days) && days >= kFirstOleDay && days < kEndOleDay) return true;
      return *v >= kFirstFiletime && *v < kEndFiletime;
    }
    default:
      return true;
  }
}

// End (exclusive) of text read from `from`: where it stops being text of one script, or `to`.
std::size_t text_end(Bytes b, std::size_t from, std::size_t to, std::uint32_t codepage) {
  if (codepage == kCodepageUnicode) {
    ScriptRun run;
    std::size_t p = from;
    while (p + 1 < to) {
      std::uint32_t cp = b[p] | (static_cast<std::uint32_t>(b[p + 1]) << 8);
      std::size_t next = p + 2;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return p;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        const std::uint32_t low = next + 1 < to ? b[next] | (static_cast<std::uint32_t>(b[next + 1]) << 8) : 0;
        if (low < 0xDC00 || low > 0xDFFF) return p;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        next += 2;
      }
      const bool layout = cp == '\t' || cp == '\n' || cp == '\r';
      if (!layout && (code_class(cp) == CodeClass::Unprintable || !run.accept(cp))) return p;
      p = next;
    }
    return p;
  }
  for (std::size_t p = from; p < to; ++p) {
    const std::uint8_t c = b[p];
    if (is_text_control(c) || c == 0x7F) return p;
    if (c < 0x80) continue;
    if (codepage == kCodepageAscii) return p;
    if (codepage == kCodepageWestern && c < 0xC0 && ((kUnusualWestern >> (c - 0x80)) & 1)) return p;
  }
  return to;
}

// The first position after `from` where an entry plausibly starts: an optional u16 common key size, a u16
// local key size of 1..255 bytes, the key, then a record header (last fixed id below 128, last variable id 127
// or above, variable offsets past the fixed data and the null bitmap, whose unused high bits are set).
std::optional<std::size_t> following_entry(Bytes b, std::size_t from, bool large) {
  const std::uint16_t mask = large ? 0x1FFF : 0x7FFF;
  auto key_size = [&](std::size_t at) -> std::size_t {
    const std::size_t k = read_u16le(b, at).value_or(0) & mask;
    return k <= kMaxFollowingKeySize ? k : 0;
  };
  auto record_at = [&](std::size_t h) {
    if (h + 4 > b.size()) return false;
    const std::uint8_t fixed = b[h], variable = b[h + 1];
    const std::size_t start = b[h + 2] | (static_cast<std::size_t>(b[h + 3]) << 8);
    const std::size_t bitmap = (fixed + 7u) / 8;
    if (fixed >= 128 || (variable != kNoVariableColumns && variable < 128)) return false;
    if (start < 4u + fixed + bitmap || h + start > b.size()) return false;
    if (fixed % 8 == 0) return true;
    const auto unused = static_cast<std::uint8_t>(0xFFu << (fixed % 8));
    return (b[h + start - 1] & unused) == unused;
  };
  for (std::size_t q = from + 1; q + 6 <= b.size(); ++q) {
    const std::size_t k = key_size(q);
    if (k == 0) continue;
    if (record_at(q + 2 + k)) return q;
    const std::size_t local = q + 4 <= b.size() ? key_size(q + 2) : 0;
    if (local && record_at(q + 4 + local)) return q;
  }
  return std::nullopt;
}

}  // namespace

RecordShape::RecordShape(const TableInfo& table) : table_(&table) {
  for (std::size_t k = 0; k < table.row_order.size(); ++k) {
    const ColumnInfo& c = table.row_column(k);
    if (c.id >= 1 && c.id < 128) {
      max_fixed_id_ = std::max<std::uint8_t>(max_fixed_id_, static_cast<std::uint8_t>(c.id));
    } else if (c.id >= 128 && c.id < 256) {
      max_variable_id_ = std::max<std::uint8_t>(max_variable_id_, static_cast<std::uint8_t>(c.id));
      variable_[c.id - 128] = &c;
    } else if (c.id >= 256) {
      tagged_.emplace_back(c.id, k);
    }
  }
  variable_offsets_start_.assign(max_fixed_id_ + 1u, 0);
  for (std::uint32_t last = 0; last <= max_fixed_id_; ++last) {
    std::uint64_t end = 4;
    for (std::size_t k = 0; k < table.row_order.size(); ++k) {
      const ColumnInfo& c = table.row_column(k);
      if (c.id >= 1 && c.id <= last) end += c.space_usage;
    }
    end += (last + 7u) / 8;
    variable_offsets_start_[last] = static_cast<std::uint32_t>(std::min<std::uint64_t>(end, 0xFFFFFFFFu));
  }
}

std::string_view record_check_name(std::size_t index) noexcept {
  return index < kRecordCheckCount ? kCheckNames[index] : std::string_view();
}

std::size_t RecordShape::tagged_position(std::uint32_t id) const noexcept {
  const auto it = std::lower_bound(tagged_.begin(), tagged_.end(), std::pair<std::uint32_t, std::size_t>{id, 0});
  return it == tagged_.end() || it->first != id ? kNoColumn : it->second;
}

const ColumnInfo* RecordShape::tagged_column(std::uint32_t id) const noexcept {
  const std::size_t position = tagged_position(id);
  return position == kNoColumn ? nullptr : &table_->row_column(position);
}

bool RecordShape::plausible_header(Bytes at) const noexcept {
  if (at.size() < 4) return false;
  const std::uint8_t last_fixed = at[0];
  const std::uint8_t last_variable = at[1];
  if (last_fixed > max_fixed_id_) return false;
  if (last_variable != kNoVariableColumns && (last_variable < 128 || last_variable > max_variable_id_)) return false;
  return (at[2] | (static_cast<std::uint32_t>(at[3]) << 8)) == variable_offsets_start_[last_fixed];
}

bool RecordShape::read_structure(Bytes rec, bool large, Header& h, std::size_t& tagged_start,
                                 std::vector<TaggedEntry>& tagged) const {
  tagged.clear();
  if (!plausible_header(rec)) return false;
  h = record_layout::read_record_header(rec);
  const std::size_t len = rec.size();
  if (h.variable_offsets_start > len) return false;
  const std::size_t count = h.last_variable_id >= 128 ? h.last_variable_id - 127u : 0;
  const std::size_t data_start = h.variable_offsets_start + 2 * count;
  if (data_start > len) return false;
  std::size_t end = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t e =
        read_u16le(rec, h.variable_offsets_start + 2 * i).value_or(0) & record_layout::kVariableOffsetMask;
    if (e < end) return false;
    end = e;
  }
  if (data_start + end > len) return false;
  tagged_start = data_start + end;
  if (tagged_start == len) return true;

  const std::size_t area = len - tagged_start;
  const std::uint16_t mask = record_layout::tagged_offset_mask(large);
  const auto first = read_u16le(rec, tagged_start + 2);
  if (area < 4 || !first) return false;
  const std::size_t directory = *first & mask;
  if (directory < 4 || directory % 4 != 0 || directory > area) return false;
  std::uint32_t previous_id = 0;
  std::size_t previous_offset = directory;
  for (std::size_t p = tagged_start; p < tagged_start + directory; p += 4) {
    const std::uint16_t id = read_u16le(rec, p).value_or(0);
    const std::uint16_t word = read_u16le(rec, p + 2).value_or(0);
    const std::size_t offset = word & mask;
    if (id <= previous_id || !tagged_column(id) || offset < previous_offset || offset > area) return false;
    tagged.push_back(
        {id, static_cast<std::uint32_t>(offset), large || (word & record_layout::kTaggedHasFlagByte) != 0});
    previous_id = id;
    previous_offset = offset;
  }
  return true;
}

std::optional<std::uint32_t> RecordShape::check(Bytes rec, bool large) const {
  Header h{};
  std::size_t tagged_start = 0;
  std::vector<TaggedEntry> tagged;
  if (!read_structure(rec, large, h, tagged_start, tagged)) return std::nullopt;

  bool has_value = false;
  bool not_null_applies = false, not_null_held = true;
  bool text_seen = false, text_printable = true;
  bool sized_seen = false, sized_held = true;
  std::uint32_t confidence = 0;
  auto text_value = [&](Bytes b, const ColumnInfo& c) {
    const TextVerdict v = check_text(b, c);
    text_seen = true;
    text_printable = text_printable && v.printable;
    return v.decodable;
  };

  // Fixed columns 1..last fixed id, then the null bitmap, which ends at variable offsets start.
  const std::size_t bitmap_len = (h.last_fixed_id + 7u) / 8;
  const std::size_t bitmap = h.variable_offsets_start - bitmap_len;
  std::size_t offset = 4;
  const std::size_t ncols = table_->row_order.size();
  for (std::size_t k = 0; k < ncols; ++k) {
    const ColumnInfo& c = table_->row_column(k);
    if (c.id < 1 || c.id > h.last_fixed_id) continue;
    const Bytes value = rec.subspan(offset, c.space_usage);
    offset += c.space_usage;
    const std::size_t bit = c.id - 1;
    const bool is_null = ((rec[bitmap + bit / 8] >> (bit % 8)) & 1u) != 0;
    if (c.flags & column_flag::kNotNull) {
      not_null_applies = true;
      not_null_held = not_null_held && !is_null;
    }
    if (is_null) continue;
    has_value = true;
    if (!plausible_fixed_value(value, c)) return std::nullopt;
    if (is_text_column(c) && !text_value(value, c)) return std::nullopt;
  }
  if (h.last_fixed_id % 8 != 0) {
    const unsigned used = h.last_fixed_id % 8;
    const std::uint8_t unused_bits = static_cast<std::uint8_t>(0xFFu << used);
    if ((rec[bitmap + bitmap_len - 1] & unused_bits) == unused_bits) confidence |= kCheckNullBitmapFiller;
  }

  // Variable columns 128..last variable id.
  const std::size_t count = h.last_variable_id >= 128 ? h.last_variable_id - 127u : 0;
  const std::size_t data_start = h.variable_offsets_start + 2 * count;
  bool null_seen = false, null_words_held = true;
  std::size_t previous_end = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t word = read_u16le(rec, h.variable_offsets_start + 2 * i).value_or(0);
    const std::size_t end = word & record_layout::kVariableOffsetMask;
    const bool is_null = (word & record_layout::kVariableNull) != 0;
    const ColumnInfo* column = variable_[i];
    if (is_null) {
      null_seen = true;
      null_words_held = null_words_held && end == previous_end;
    } else if (end > previous_end) {
      has_value = true;
      if (column && is_text_column(*column) &&
          !text_value(rec.subspan(data_start + previous_end, end - previous_end), *column))
        return std::nullopt;
    }
    if (column && (column->flags & column_flag::kNotNull)) {
      not_null_applies = true;
      not_null_held = not_null_held && !is_null;
    }
    previous_end = end;
  }
  if (null_seen && null_words_held) confidence |= kCheckNullVariableOffsets;

  // Tagged values: flag bytes, references, text and fixed-size widths.
  for (std::size_t j = 0; j < tagged.size(); ++j) {
    const std::size_t start = tagged_start + tagged[j].start;
    const std::size_t end = j + 1 < tagged.size() ? tagged_start + tagged[j + 1].start : rec.size();
    Bytes value = rec.subspan(start, end - start);
    std::uint8_t flags = 0;
    if (tagged[j].has_flag_byte) {
      if (value.empty()) return std::nullopt;
      flags = value[0];
      value = value.subspan(1);
      if ((flags & ~kKnownTaggedFlags) != 0) return std::nullopt;
      if ((flags & kTwoValueForm) && !(flags & tagged_flag::kMultiValue)) return std::nullopt;
    }
    has_value = true;
    const ColumnInfo& c = *tagged_column(tagged[j].id);
    if ((flags & tagged_flag::kLongValueReference) && !(flags & tagged_flag::kMultiValue)) {
      if (value.size() != 4 && value.size() != 8) return std::nullopt;
      continue;
    }
    if (flags & (tagged_flag::kCompressed | tagged_flag::kMultiValue | tagged_flag::kLongValueReference)) continue;
    if (is_text_column(c) && !text_value(value, c)) return std::nullopt;
    if (const std::size_t width = fixed_type_width(c.column_type)) {
      sized_seen = true;
      sized_held = sized_held && value.size() == width;
      if (value.size() == width && !plausible_fixed_value(value, c)) return std::nullopt;
    }
  }
  if (!has_value) return std::nullopt;
  if (not_null_applies && not_null_held) confidence |= kCheckNotNullColumns;
  if (text_seen && text_printable) confidence |= kCheckPrintableText;
  if (sized_seen && sized_held) confidence |= kCheckFixedSizeValues;
  return confidence;
}

std::optional<SlackEnd> RecordShape::slack_length(Bytes region, bool large, std::size_t ref_width,
                                                   bool capped) const {
  Header h{};
  std::size_t tagged_start = 0;
  std::vector<TaggedEntry> tagged;
  if (!read_structure(region, large, h, tagged_start, tagged)) {
    // The bytes past the variable data may be anything: read again without them.
    if (!plausible_header(region)) return std::nullopt;
    const std::size_t count = region[1] >= 128 ? region[1] - 127u : 0;
    const std::size_t data_start = read_u16le(region, 2).value_or(0) + 2 * count;
    const auto last_end = count ? read_u16le(region, data_start - 2) : std::optional<std::uint16_t>(0);
    if (!last_end || data_start + (*last_end & record_layout::kVariableOffsetMask) > region.size()) return std::nullopt;
    const std::size_t end = data_start + (*last_end & record_layout::kVariableOffsetMask);
    if (!read_structure(region.first(end), large, h, tagged_start, tagged)) return std::nullopt;
    // A tagged directory of columns the table does not have: a record of another table.
    const auto id = read_u16le(region, end);
    const auto word = read_u16le(region, end + 2);
    const std::size_t directory = word ? (*word & record_layout::tagged_offset_mask(large)) : 0;
    if (id && *id >= 256 && directory >= 4 && directory % 4 == 0 && directory <= region.size() - end)
      return std::nullopt;
    return SlackEnd{end};
  }
  if (tagged.empty()) return SlackEnd{tagged_start};

  const TaggedEntry& last = tagged.back();
  const std::size_t position = tagged_position(last.id);
  const ColumnInfo& column = table_->row_column(position);
  std::size_t p = tagged_start + last.start;
  std::uint8_t flags = 0;
  if (last.has_flag_byte) {
    if (p >= region.size()) return std::nullopt;
    flags = region[p++];
  }
  const bool plain = !(flags & (tagged_flag::kCompressed | tagged_flag::kMultiValue));
  auto sized = [&](std::size_t width) -> std::optional<SlackEnd> {
    if (p + width > region.size()) return std::nullopt;
    return SlackEnd{p + width};
  };
  if ((flags & tagged_flag::kLongValueReference) && !(flags & tagged_flag::kMultiValue)) {
    auto end = sized(ref_width);
    if (end) *end = SlackEnd{end->length, position, true};
    return end;
  }
  if (const std::size_t width = plain ? fixed_type_width(column.column_type) : 0) return sized(width);
  if (plain && is_text_column(column))
    return SlackEnd{text_end(region, p, region.size(), codepage_of(column)), position};
  if (capped) return SlackEnd{region.size(), position};
  if (const auto next = following_entry(region, p, large)) return SlackEnd{*next, position};
  std::size_t end = region.size();
  while (end > p && region[end - 1] == 0) --end;
  return SlackEnd{end, position};
}

}  // namespace pw
