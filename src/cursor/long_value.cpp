#include "long_value.hpp"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "../database.hpp"
#include "../page/branch.hpp"
#include "../page/leaf.hpp"
#include "../page/tag.hpp"
#include "../record/decompress.hpp"

namespace pw {

Result<LongValueIndex> LongValueIndex::build(const Database& db, std::uint32_t root_page) {
  LongValueIndex index;
  const bool large = db.large_page_mode();
  auto page = db.read_page(root_page);
  if (!page) return std::move(page).error();
  std::unordered_set<std::uint32_t> descent{root_page};
  std::uint32_t current = root_page;
  while (!page->is_leaf()) {
    const TagExtractor tags(*page, db.format_version(), db.format_revision(), db.page_size());
    if (tags.tag_count() < 2) break;
    auto tag = tags.extract_tag(1);
    if (!tag) break;
    auto branch = BranchEntry::parse(tag->flags, tag->data, db.max_child_page(), large);
    if (!branch) break;
    if (!descent.insert(branch->child_page).second) break;
    auto child = db.read_page(branch->child_page);
    if (!child) return std::move(child).error();
    page = std::move(child);
    current = branch->child_page;
  }

  std::unordered_set<std::uint32_t> scanned;
  std::string full_key;
  for (std::uint32_t p = current; p != 0;) {
    if (p > db.total_pages() || !scanned.insert(p).second) break;
    auto leaf = db.read_page(p);
    if (!leaf || !leaf->is_leaf()) break;
    const TagExtractor tags(*leaf, db.format_version(), db.format_revision(), db.page_size());
    Bytes prefix;
    if (auto t0 = tags.extract_tag(0)) prefix = t0->data;
    // Tags whose 4 bytes lie outside the page cannot be read; stop there rather than try every number.
    const auto count = std::min<std::size_t>(tags.tag_count(), leaf->data.size() / 4);
    for (std::uint16_t t = 1; t < count; ++t) {
      auto tag = tags.extract_tag(t);
      if (!tag) continue;
      auto entry = LeafEntry::parse(tag->flags, tag->data, large);
      if (!entry) continue;
      full_key.clear();
      if (entry->common_key_size) {
        const std::size_t n = std::min<std::size_t>(*entry->common_key_size, prefix.size());
        full_key.append(reinterpret_cast<const char*>(prefix.data()), n);
      }
      full_key.append(reinterpret_cast<const char*>(entry->key.data()), entry->key.size());
      if (full_key.size() < 4) continue;
      const Bytes key = as_bytes(full_key);
      Item item{*read_u32be(key, 0), 0, key.size() < 8, entry->data};
      if (!item.is_root) item.segment_offset = *read_u32be(key, 4);
      index.items_.push_back(item);
    }
    const std::uint32_t next = leaf->header.next_page;
    if (next == p) break;
    p = next;
  }

  const std::size_t n = index.items_.size();
  index.by_id_.resize(n);
  for (std::size_t k = 0; k < n; ++k) index.by_id_[k] = static_cast<std::uint32_t>(k);
  std::stable_sort(index.by_id_.begin(), index.by_id_.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return index.items_[a].id < index.items_[b].id; });
  index.min_pos_after_.assign(n + 1, std::numeric_limits<std::uint32_t>::max());
  for (std::size_t k = n; k-- > 0;) index.min_pos_after_[k] = std::min(index.min_pos_after_[k + 1], index.by_id_[k]);
  return index;
}

std::string LongValueIndex::gather(std::uint32_t id, const ColumnInfo& column) const {
  const auto id_less = [&](std::uint32_t pos, std::uint32_t v) { return items_[pos].id < v; };
  const auto lo = std::lower_bound(by_id_.begin(), by_id_.end(), id, id_less) - by_id_.begin();
  auto hi = lo;
  while (static_cast<std::size_t>(hi) < by_id_.size() && items_[by_id_[hi]].id == id) ++hi;
  // A chain walk stops at the first entry with a larger id: only entries before it count.
  const std::uint32_t cutoff = min_pos_after_[hi];

  struct Segment {
    std::uint32_t offset;
    Bytes data;
  };
  std::vector<Segment> segments;
  std::optional<std::uint32_t> total_size;
  for (auto k = lo; k < hi && by_id_[k] < cutoff; ++k) {
    const Item& item = items_[by_id_[k]];
    if (item.is_root) {
      if (auto size = read_u32le(item.data, 4)) total_size = *size;
    } else {
      segments.push_back({item.segment_offset, item.data});
    }
  }
  std::stable_sort(segments.begin(), segments.end(),
                   [](const Segment& a, const Segment& b) { return a.offset < b.offset; });

  const bool compressed_column = (column.flags & column_flag::kCompressed) != 0;
  std::string out;
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const Segment& s = segments[k];
    std::optional<std::uint64_t> span;
    if (k + 1 < segments.size()) {
      span = static_cast<std::uint64_t>(segments[k + 1].offset) - s.offset;
    } else if (total_size && *total_size >= s.offset) {
      span = *total_size - s.offset;
    }
    // Chunks of a compressed column carry no marker: a chunk shorter than its logical span that starts
    // with a known scheme header and expands to exactly that span is compressed.
    if (compressed_column && span && s.data.size() < *span && !s.data.empty()) {
      const CompressionScheme scheme = compression_scheme(s.data[0]);
      if (scheme == CompressionScheme::SevenBitAscii || scheme == CompressionScheme::SevenBitUnicode ||
          scheme == CompressionScheme::Xpress) {
        if (auto expanded = decompress_to_original(s.data); expanded && expanded->size() == *span) {
          out.append(reinterpret_cast<const char*>(expanded->data()), expanded->size());
          continue;
        }
      }
    }
    out.append(reinterpret_cast<const char*>(s.data.data()), s.data.size());
  }
  if (total_size && *total_size < out.size()) out.resize(*total_size);
  return out;
}

}  // namespace pw
