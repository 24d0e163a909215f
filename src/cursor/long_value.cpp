#include "long_value.hpp"

#include <algorithm>

#include "../btree/page_chain.hpp"
#include "../database.hpp"
#include "../record/record.hpp"

namespace pw {
namespace {

std::uint64_t read_be(Bytes b, std::size_t off, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < width; ++k) v = (v << 8) | read_u8(b, off + k).value_or(0);
  return v;
}

}  // namespace

std::optional<LongValueRef> parse_long_value_ref(Bytes reference) noexcept {
  if (reference.size() == 4) return LongValueRef{read_u32le(reference, 0).value_or(0), 4};
  if (reference.size() == 8) return LongValueRef{read_u64le(reference, 0).value_or(0), 8};
  return std::nullopt;
}

Result<LongValueIndex> LongValueIndex::build(const Database& db, std::uint32_t root_page) {
  LongValueIndex index;
  auto start = descend_leftmost(db, root_page, OnBadBranch::StopHere, index.counts_);
  if (!start) return std::move(start).error();
  LeafWalk walk(db, std::move(*start), LeafKind::AnyLeaf, OnUnreadablePage::EndWalk);
  LeafItem item;
  std::string key_bytes;
  std::uint32_t position = 0;
  while (walk.next(item).value_or(false)) {
    full_key(item, key_bytes);
    const Bytes key = as_bytes(key_bytes);
    if (key.size() < 4) {
      ++index.counts_.bad_entries;
      continue;
    }
    // A key of 8 bytes is a chunk under a 4-byte id and a root under an 8-byte id; the reference's width
    // decides which reading a lookup uses.
    const bool narrow_root = key.size() < 8;
    index.narrow_.push_back({read_be(key, 0, 4), narrow_root ? 0 : static_cast<std::uint32_t>(read_be(key, 4, 4)),
                             position, narrow_root, item.entry.data});
    if (key.size() >= 8) {
      const bool wide_root = key.size() < 12;
      index.wide_.push_back({read_be(key, 0, 8), wide_root ? 0 : static_cast<std::uint32_t>(read_be(key, 8, 4)),
                             position, wide_root, item.entry.data});
    }
    ++position;
  }
  index.counts_ += walk.counts();
  sort_and_dedupe(index.narrow_);
  sort_and_dedupe(index.wide_);
  return index;
}

void LongValueIndex::sort_and_dedupe(std::vector<Item>& items) {
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    if (a.id != b.id) return a.id < b.id;
    if (a.is_root != b.is_root) return a.is_root;
    if (a.offset != b.offset) return a.offset < b.offset;
    return a.position < b.position;
  });
  // One root per id and one chunk per offset: repeated keys would otherwise multiply a value's bytes.
  const auto same_key = [](const Item& a, const Item& b) {
    return a.id == b.id && a.is_root == b.is_root && a.offset == b.offset;
  };
  items.erase(std::unique(items.begin(), items.end(), same_key), items.end());
}

bool LongValueIndex::contains(LongValueRef ref) const noexcept {
  const std::vector<Item>& items = ref.width == 8 ? wide_ : narrow_;
  const auto it = std::lower_bound(items.begin(), items.end(), ref.id,
                                   [](const Item& item, std::uint64_t id) { return item.id < id; });
  return it != items.end() && it->id == ref.id;
}

namespace {

// Why a chunk of a compressed column that is shorter than its logical span cannot be expanded, when it plainly
// is a compressed chunk: a scrubbed chunk (its header, then one fill byte), an Xpress9 header, or an Xpress10,
// LZ4 or XPRESS header stating the span as its size (a stream that then fails to give it is corrupt).
std::optional<Unreadable> unexpandable_chunk(Bytes piece, std::uint64_t span) {
  const std::uint8_t header = piece[0];
  const CompressionScheme scheme = compression_scheme(header);
  const bool states_span = read_u16le(piece, 1) == span;
  switch (scheme) {
    case CompressionScheme::Scrubbed: {
      const Bytes fill = piece.subspan(1);
      const bool one_fill = std::all_of(fill.begin(), fill.end(), [&](std::uint8_t b) { return b == fill.back(); });
      return header == 0x20 && one_fill ? std::optional(Unreadable::Scrubbed) : std::nullopt;
    }
    case CompressionScheme::Xpress9:
      return header == 0x28 ? std::optional(Unreadable::Xpress9) : std::nullopt;
    case CompressionScheme::Xpress10:
      return header == 0x30 && states_span ? std::optional(Unreadable::Xpress10) : std::nullopt;
    case CompressionScheme::Xpress:
    case CompressionScheme::Lz4:
      return states_span ? std::optional(Unreadable::CorruptCompressed) : std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> LongValueIndex::gather(LongValueRef ref, const ColumnInfo& column,
                                                  std::optional<Unreadable>* unreadable) const {
  const std::vector<Item>& items = ref.width == 8 ? wide_ : narrow_;
  const auto lo = std::lower_bound(items.begin(), items.end(), ref.id,
                                   [](const Item& item, std::uint64_t id) { return item.id < id; });
  auto it = lo;
  if (it == items.end() || it->id != ref.id) return std::nullopt;
  std::optional<std::uint64_t> total_size;
  if (it->is_root) {
    if (auto size = read_u32le(it->data, 4)) total_size = *size;
    ++it;
  }
  const auto end = std::find_if(it, items.end(), [&](const Item& item) { return item.id != ref.id; });

  const bool encrypted = is_encrypted(column);
  if (encrypted && unreadable) *unreadable = Unreadable::Encrypted;
  const bool compressed_column = (column.flags & column_flag::kCompressed) != 0 && !encrypted;
  std::string out;
  for (auto chunk = it; chunk != end; ++chunk) {
    if (total_size && chunk->offset >= *total_size) break;
    std::optional<std::uint64_t> span;
    if (std::next(chunk) != end) {
      span = static_cast<std::uint64_t>(std::next(chunk)->offset) - chunk->offset;
    } else if (total_size) {
      span = *total_size - chunk->offset;
    }
    Bytes piece = chunk->data;
    std::vector<std::uint8_t> expanded;
    // Chunks of a compressed column carry no marker: a chunk shorter than its logical span that starts
    // with a known scheme header and expands to exactly that span is compressed.
    if (compressed_column && span && piece.size() < *span && !piece.empty()) {
      if (auto x = decompress_to_original(piece); x && x->size() == *span) {
        expanded = std::move(*x);
        piece = expanded;
      } else if (const auto reason = unexpandable_chunk(piece, *span); reason && unreadable) {
        *unreadable = reason;
      }
    }
    if (total_size) piece = piece.first(std::min<std::uint64_t>(piece.size(), *total_size - out.size()));
    out.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    if (total_size && out.size() >= *total_size) break;
  }
  return out;
}

}  // namespace pw
