#include "long_value.hpp"

#include <algorithm>

#include "../btree/page_chain.hpp"
#include "../database.hpp"
#include "../record/decompress.hpp"
#include "../record/parser.hpp"

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

std::optional<std::string> LongValueIndex::gather(LongValueRef ref, const ColumnInfo& column) const {
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

  const bool compressed_column = (column.flags & column_flag::kCompressed) != 0;
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
      const CompressionScheme scheme = compression_scheme(piece[0]);
      if (scheme == CompressionScheme::SevenBitAscii || scheme == CompressionScheme::SevenBitUnicode ||
          scheme == CompressionScheme::Xpress) {
        if (auto x = decompress_to_original(piece); x && x->size() == *span) {
          expanded = std::move(*x);
          piece = expanded;
        }
      }
    }
    if (total_size) piece = piece.first(std::min<std::uint64_t>(piece.size(), *total_size - out.size()));
    out.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    if (total_size && out.size() >= *total_size) break;
  }
  return out;
}

bool resolve_long_value(ColumnValue& value, const ColumnInfo& column, const LongValueIndex* index,
                        bool tree_unreadable, bool typed) {
  const auto ref = parse_long_value_ref(as_bytes(value.bytes));
  if (auto joined = ref && index ? index->gather(*ref, column) : std::nullopt) {
    value = text_or_binary(as_bytes(*joined), column);
    return true;
  }
  if (typed) {
    value = ColumnValue::null();  // the typed view has no value to give
  } else if (!ref || !tree_unreadable) {
    value = text_or_binary(Bytes{}, column);  // the raw view: empty, as it always was
  }  // else the tree cannot be read: the raw view keeps the reference's bytes, as it always did
  return false;
}

}  // namespace pw
