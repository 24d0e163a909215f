// Lossy UTF-8, page headers, tag arrays, leaf and branch entries.
#include <cstring>
#include <vector>

#include "check.hpp"
#include "catalog/column_keys.hpp"
#include "error.hpp"
#include "page/branch.hpp"
#include "page/leaf.hpp"
#include "page/page.hpp"
#include "page/tag.hpp"

using namespace pw;
using Buf = std::vector<std::uint8_t>;

namespace {

void put16(Buf& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Buf& b, std::size_t at, std::uint32_t v) {
  put16(b, at, static_cast<std::uint16_t>(v));
  put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

// A page of `size` bytes with `tags` tag slots (size word, offset word) written from the end.
Buf make_page(std::size_t size, const std::vector<std::pair<std::uint16_t, std::uint16_t>>& tags,
              std::uint16_t available = 0) {
  Buf b(size, 0);
  put16(b, 28, available);
  put16(b, 34, static_cast<std::uint16_t>(tags.size()));
  for (std::size_t i = 0; i < tags.size(); ++i) {
    put16(b, size - 4 * (i + 1), tags[i].first);
    put16(b, size - 4 * (i + 1) + 2, tags[i].second);
  }
  return b;
}

std::string str(Bytes b) { return std::string(b.begin(), b.end()); }
template <class T>
std::string error_of(const Result<T>& r) {
  return r ? "" : r.error().to_string();
}

}  // namespace

TEST(utf8_lossy_replaces_each_invalid_sequence) {
  const std::pair<const char*, const char*> cases[] = {
      {"ok", "ok"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"\xE2\x82", "\xEF\xBF\xBD"},                               // truncated sequence: one replacement
      {"\xE2\x82\x41", "\xEF\xBF\xBD\x41"},                       // the breaking byte is read again
      {"\xC0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},                   // overlong lead bytes are invalid alone
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}};  // encoded surrogate
  for (const auto& [in, out] : cases) CHECK_EQ(utf8_lossy(in), out);
}

TEST(page_header_kinds) {
  const std::tuple<std::uint32_t, std::uint32_t, PageHeaderKind> kinds[] = {
      {0x620, 10, PageHeaderKind::Legacy},   {0x61F, 30, PageHeaderKind::Legacy},
      {0x620, 11, PageHeaderKind::Revised},  {0x620, 16, PageHeaderKind::Revised},
      {0x620, 17, PageHeaderKind::Extended}, {0x621, 0, PageHeaderKind::Extended}};
  for (const auto& [version, revision, kind] : kinds) CHECK(page_header_kind(version, revision) == kind);

  CHECK_EQ(error_of(Page::parse(Buf(39, 0), 0x620, 0x14, 4096)),
           "Page data too short, expected at least 40 bytes, got 39");
  const Buf sixty(60, 0);
  CHECK_EQ(error_of(Page::parse(sixty, 0x620, 17, 32768)), "Page data too short, expected at least 80 bytes, got 60");
  auto normal = Page::parse(sixty, 0x620, 17, 8192);
  CHECK(normal && normal->header_size == 40 && !normal->extension);

  Buf page = make_page(32768, {});
  put32(page, 20, 77);
  put32(page, 36, 0x2802);
  auto ext = Page::parse(page, 0x621, 0, 32768);
  CHECK(ext && ext->kind == PageHeaderKind::Extended && ext->header_size == 80 && ext->extension);
  CHECK(ext && ext->header.next_page == 77 && ext->page_flags() == 0x2802 && ext->is_plain_leaf());
}

TEST(tag_decoding_normal_and_large_page_mode_and_bounds) {
  // tag 1: offset word 0xE010 -> flags 7, offset 0x10; size 3.
  Buf b = make_page(8192, {{4, 0}, {3, 0xE010}});
  std::memcpy(&b[40 + 0x10], "abc", 3);
  auto page = Page::parse(b, 0x620, 0x14, 8192);
  TagExtractor tags(*page, 0x620, 0x14, 8192);
  CHECK_EQ(tags.tag_count(), 2);
  auto t1 = tags.extract_tag(1);
  CHECK(t1 && t1->flags == 7 && str(t1->data) == "abc");
  CHECK_EQ(error_of(tags.extract_tag(2)), "Invalid tag number: 2");

  // Large pages: the top bits of size and offset are ignored; flags come from the entry's second byte.
  Buf l = make_page(32768, {{0x8004, 0x8000}, {0x8004, 0x0010}}, 100);
  l[80 + 0x10] = 0x02;
  l[80 + 0x11] = 0xA0;  // flags 5 in the top bits of the second byte
  auto large = Page::parse(l, 0x620, 17, 32768);
  auto lt1 = TagExtractor(*large, 0x620, 17, 32768).extract_tag(1);
  CHECK(lt1 && lt1->flags == 5 && lt1->data.size() == 4 && lt1->data[1] == 0xA0);
  // A version above 0x620 with 32 KiB pages has an 80-byte header but decodes tags in normal mode.
  auto newer = Page::parse(l, 0x621, 0, 32768);
  CHECK(!TagExtractor(*newer, 0x621, 0, 32768).large_page_mode());
  // Entries that run past the page end.
  const Buf past_large = make_page(32768, {{0, 0}, {0x10, 32768 - 80 - 0x0F}}, 100);
  auto borrowed = TagExtractor(*Page::parse(past_large, 0x620, 17, 32768), 0x620, 17, 32768).extract_tag(1);
  CHECK(!borrowed && borrowed.error().kind() == ErrorKind::TagOffsetOutOfBounds);
  const Buf past = make_page(4096, {{0, 0}, {0x10, 4096 - 40 - 0x0F}});
  CHECK_EQ(error_of(TagExtractor(*Page::parse(past, 0x620, 0x14, 4096), 0x620, 0x14, 4096).extract_tag(1)),
           "Tag offset out of bounds: offset=4041, size=16, page_size=4096");
}

TEST(tag_range_count_nibble_and_caps) {
  Buf b = make_page(32768, {{0, 0}, {0, 0}, {0, 0}});
  put16(b, 28, 32768 - 8);  // room for two tags only
  auto page = Page::parse(b, 0x620, 17, 32768);
  CHECK_EQ(tag_range(*page, 32768).count, 2);
  CHECK_EQ(tag_range(*page, 8192).count, 3);  // no cap at 8 KiB and below
  // State word 0x3005: 5 tags, the first 3 reserved; 0x0FFF tags cannot fit 4 KiB: capped at 1024.
  const std::pair<std::uint16_t, std::pair<int, int>> cases[] = {
      {0x3005, {3, 5}}, {0x0002, {1, 2}}, {0x1002, {1, 2}}, {0xF002, {15, 2}}, {0x0FFF, {1, 1024}}};
  for (const auto& [state, want] : cases) {
    Buf small = make_page(4096, {});
    put16(small, 34, state);
    const TagRange r = tag_range(*Page::parse(small, 0x620, 0x14, 4096), 4096);
    CHECK(r.first_entry == want.first && r.count == want.second);
  }
}

TEST(leaf_entries) {
  // (tag flags, entry, large page, key, data, common-prefix size or -1, local key size)
  const std::tuple<std::uint8_t, Buf, bool, std::string, std::string, int, int> cases[] = {
      {0, {3, 0, 'A', 'B', 'C', 'D'}, false, "ABC", "D", -1, 3},
      {0, {5, 0, 'A', 'B'}, false, "AB", "", -1, 2},  // key cut short by the entry's end
      {0, {1, 0x80, 'K', 'D'}, false, "K", "D", -1, 1},
      {4, {2, 0, 1, 0, 'K', 'D', 'E'}, false, "K", "DE", 2, 1},
      {0, {0, 0, 'x', 'y'}, false, "", "xy", -1, 0},
      {0, {4, 0}, false, "", "", -1, 0},
      // Large-page flag bits in the second byte are cleared before the key size is read.
      {0, {1, 0xA0, 'K', 'D'}, true, "K", "D", -1, 1},
  };
  for (const auto& [flags, entry, large, key, data, common, local] : cases) {
    auto e = LeafEntry::parse(flags, entry, large);
    CHECK(e && str(e->key) == key && str(e->data) == data && e->local_key_size == local);
    CHECK(e && (e->common_key_size ? *e->common_key_size : -1) == common);
  }
  CHECK_EQ(error_of(LeafEntry::parse(4, Buf{0, 0, 0})),
           "Parse error: Leaf entry too short: got 3 bytes, need at least 4 (flags: 0x4)");
}

TEST(branch_entries) {
  auto with_child = [](std::uint32_t child) {
    Buf e = {0, 0, 0, 0, 0, 0};
    put32(e, 2, child);
    return e;
  };
  auto b = BranchEntry::parse(0, with_child(1), 100000);
  CHECK(b && b->key.empty() && b->child_page == 1);
  CHECK_EQ(error_of(BranchEntry::parse(0, with_child(0), 100000)),
           "Parse error: Branch entry has invalid child page number: 0 (likely corrupted data)");
  CHECK(!BranchEntry::parse(0, with_child(100001), 100000));
  CHECK(BranchEntry::parse(0, with_child(100000), 100000));
  // The bound grows with the database: a 300000-page file accepts its high child pages.
  CHECK(BranchEntry::parse(0, with_child(250000), child_page_bound(300000)));
  CHECK_EQ(child_page_bound(5), 100000u);

  const std::tuple<std::uint8_t, Buf, const char*> too_short[] = {
      {0,
       {2, 0, 'A', 'B', 1, 0, 0},
       "Branch entry too short for child page number: got 7 bytes, offset 4, need 4 more (likely metadata tag)"},
      {0, {0, 0, 1, 0, 0}, "Branch entry too short: got 5 bytes, need at least 6 (flags: 0x0)"},
      {5, {0, 0, 0, 0, 1, 0, 0}, "Branch entry too short: got 7 bytes, need at least 8 (flags: 0x5)"}};
  for (const auto& [flags, entry, text] : too_short) {
    CHECK_EQ(error_of(BranchEntry::parse(flags, entry, 100000)), std::string("Parse error: ") + text);
  }
  const Buf compressed = {3, 0, 1, 0, 'K', 9, 0, 0, 0};
  auto c = BranchEntry::parse(4, compressed, 100000);
  CHECK(c && c->common_key_size == 3 && str(c->key) == "K" && c->child_page == 9);
}

// Output keys: the last column of a shared name keeps it (as the raw row map does), earlier ones carry their
// id; a key that an id suffix makes equal to a crafted name is lengthened; the marker never takes a column's key.
TEST(column_keys_distinct_and_deterministic) {
  using V = std::vector<std::string>;
  CHECK(distinct_column_keys({"A", "B"}, {1, 2}) == (V{"A", "B"}));
  CHECK(distinct_column_keys({"A", "A", "A"}, {1, 5, 300}) == (V{"A#1", "A#5", "A"}));
  CHECK(distinct_column_keys({"A", "A#1", "A"}, {1, 2, 3}) == (V{"A#1~", "A#1", "A"}));
  CHECK_EQ(deleted_marker_key({"x", "_deleted", "__deleted"}), std::string("___deleted"));
  CHECK_EQ(deleted_marker_key({"x"}), std::string("_deleted"));
}
