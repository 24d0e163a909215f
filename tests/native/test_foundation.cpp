// Error texts, page headers, tag arrays, leaf and branch entries.
#include <cstring>
#include <vector>

#include "check.hpp"
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

std::string text_of(const Result<LeafEntry>& r) { return r ? "" : r.error().to_string(); }
std::string text_of(const Result<BranchEntry>& r) { return r ? "" : r.error().to_string(); }

}  // namespace

TEST(error_texts) {
  CHECK_EQ(EseError::invalid_signature(0).to_string(), "Invalid signature, expected 0x89ABCDEF, got 0x0");
  CHECK_EQ(EseError::invalid_signature(0xEFCDAB89).to_string(),
           "Invalid signature, expected 0x89ABCDEF, got 0xefcdab89");
  CHECK_EQ(EseError::unsupported_version(0x620, 0x14).to_string(),
           "Unsupported database version: 0x620, revision: 0x14");
  CHECK_EQ(EseError::table_not_found("Foo").to_string(), "Table not found: Foo");
  CHECK_EQ(EseError::table_not_found("A\xFF").to_string(), "Table not found: A\xEF\xBF\xBD");
  CHECK_EQ(EseError::column_not_found("Foo").to_string(), "Column not found: [70, 111, 111]");
  CHECK_EQ(EseError::column_not_found("").to_string(), "Column not found: []");
  CHECK_EQ(EseError::page_data_too_short(40, 16).to_string(),
           "Page data too short, expected at least 40 bytes, got 16");
  CHECK_EQ(EseError::tag_offset_out_of_bounds(8100, 200, 8192).to_string(),
           "Tag offset out of bounds: offset=8100, size=200, page_size=8192");
  CHECK_EQ(EseError::io(13).to_string(), "IO error: Permission denied (os error 13)");
  CHECK_EQ(EseError::io(2).to_string(), "IO error: No such file or directory (os error 2)");
  CHECK_EQ(EseError::invalid_page_number(4).to_string(), "Invalid page number: 4");
  CHECK_EQ(EseError::invalid_tag_number(7).to_string(), "Invalid tag number: 7");
  CHECK_EQ(EseError::unsupported_catalog_type(9).to_string(), "Unsupported catalog type: 9");
  CHECK_EQ(EseError::unsupported_column_type(19).to_string(), "Unsupported column type: 19");
  CHECK_EQ(EseError::unknown_codepage(65001).to_string(), "Unknown codepage: 65001");
  CHECK_EQ(EseError::compressed_data_not_supported().to_string(), "Compressed tagged data is not supported");
  CHECK_EQ(EseError::long_value_not_supported().to_string(), "Long value data is not yet supported");
  CHECK_EQ(EseError::multi_value_not_supported().to_string(), "Multi-value data is not fully supported");
  CHECK_EQ(EseError::callback_not_supported().to_string(), "Callback catalog type is not supported");
  CHECK_EQ(EseError::invalid_data_definition_header().to_string(), "Invalid data definition header");
  CHECK_EQ(EseError::invalid_catalog_entry().to_string(), "Invalid catalog entry");
  CHECK_EQ(EseError::invalid_header().to_string(), "Invalid database header");
  CHECK_EQ(EseError::string_decode_error("x").to_string(), "String decode error: x");
  CHECK_EQ(EseError::parse_error("y").to_string(), "Parse error: y");
  CHECK_EQ(EseError::alignment_error("z").to_string(), "Alignment error: z");
}

TEST(utf8_lossy_replaces_each_invalid_sequence) {
  CHECK_EQ(utf8_lossy("ok"), "ok");
  CHECK_EQ(utf8_lossy("\xC3\xA9"), "\xC3\xA9");
  CHECK_EQ(utf8_lossy("\xE2\x82"), "\xEF\xBF\xBD");  // truncated sequence: one replacement
  CHECK_EQ(utf8_lossy("\xE2\x82"
                      "A"),
           "\xEF\xBF\xBD"
           "A");                                                 // the breaking byte is read again
  CHECK_EQ(utf8_lossy("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong lead bytes are invalid alone
  CHECK_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // encoded surrogate
}

TEST(page_header_kinds) {
  CHECK(page_header_kind(0x620, 10) == PageHeaderKind::Legacy);
  CHECK(page_header_kind(0x61F, 30) == PageHeaderKind::Legacy);
  CHECK(page_header_kind(0x620, 11) == PageHeaderKind::Revised);
  CHECK(page_header_kind(0x620, 16) == PageHeaderKind::Revised);
  CHECK(page_header_kind(0x620, 17) == PageHeaderKind::Extended);
  CHECK(page_header_kind(0x621, 0) == PageHeaderKind::Extended);

  Buf small(39, 0);
  auto r = Page::parse(small, 0x620, 0x14, 4096);
  CHECK(!r && r.error().to_string() == "Page data too short, expected at least 40 bytes, got 39");
  Buf sixty(60, 0);
  auto large = Page::parse(sixty, 0x620, 17, 32768);
  CHECK(!large && large.error().to_string() == "Page data too short, expected at least 80 bytes, got 60");
  auto normal = Page::parse(sixty, 0x620, 17, 8192);
  CHECK(normal && normal->header_size == 40 && !normal->extension);

  Buf page = make_page(32768, {});
  put32(page, 20, 77);
  put32(page, 36, 0x2802);
  auto ext = Page::parse(page, 0x621, 0, 32768);
  CHECK(ext && ext->kind == PageHeaderKind::Extended && ext->header_size == 80 && ext->extension);
  CHECK(ext && ext->header.next_page == 77 && ext->page_flags() == 0x2802 && ext->is_plain_leaf());
}

TEST(tag_decoding_normal_mode) {
  // tag 0: size 4 at offset 0; tag 1: offset word 0xE010 -> flags 7, offset 0x10; size 3.
  Buf b = make_page(8192, {{4, 0}, {3, 0xE010}});
  std::memcpy(&b[40 + 0x10], "abc", 3);
  auto page = Page::parse(b, 0x620, 0x14, 8192);
  TagExtractor tags(*page, 0x620, 0x14, 8192);
  CHECK_EQ(tags.tag_count(), 2);
  auto t1 = tags.extract_tag(1);
  CHECK(t1 && t1->flags == 7 && t1->data.size() == 3 && t1->data[0] == 'a');
  auto bad = tags.extract_tag(2);
  CHECK(!bad && bad.error().to_string() == "Invalid tag number: 2");
}

TEST(tag_decoding_large_page_mode) {
  // Top bits of size and offset are ignored; flags come from the entry's second byte.
  Buf b = make_page(32768, {{0x8004, 0x8000}, {0x8004, 0x0010}}, 100);
  b[80 + 0x10] = 0x02;
  b[80 + 0x11] = 0xA0;  // flags 5 in the top bits of the second byte
  auto page = Page::parse(b, 0x620, 17, 32768);
  TagExtractor tags(*page, 0x620, 17, 32768);
  auto t1 = tags.extract_tag(1);
  CHECK(t1 && t1->flags == 5 && t1->data.size() == 4 && t1->data[1] == 0xA0);
  // A version above 0x620 with 32 KiB pages has an 80-byte header but decodes tags in normal mode.
  auto newer = Page::parse(b, 0x621, 0, 32768);
  TagExtractor normal(*newer, 0x621, 0, 32768);
  CHECK(!normal.large_page_mode());
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
    auto p = Page::parse(small, 0x620, 0x14, 4096);
    const TagRange r = tag_range(*p, 4096);
    CHECK(r.first_entry == want.first && r.count == want.second);
  }
}

TEST(entry_past_page_end) {
  Buf b = make_page(32768, {{0, 0}, {0x10, 32768 - 80 - 0x0F}}, 100);
  auto page = Page::parse(b, 0x620, 17, 32768);
  TagExtractor tags(*page, 0x620, 17, 32768);
  auto borrowed = tags.extract_tag(1);
  CHECK(!borrowed && borrowed.error().kind() == ErrorKind::TagOffsetOutOfBounds);

  Buf s = make_page(4096, {{0, 0}, {0x10, 4096 - 40 - 0x0F}});
  auto small = Page::parse(s, 0x620, 0x14, 4096);
  TagExtractor stags(*small, 0x620, 0x14, 4096);
  auto r = stags.extract_tag(1);
  CHECK(!r && r.error().to_string() == "Tag offset out of bounds: offset=4041, size=16, page_size=4096");
}

TEST(leaf_entries) {
  const Buf abcd = {3, 0, 'A', 'B', 'C', 'D'};
  auto e = LeafEntry::parse(0, abcd);
  CHECK(e && std::string(e->key.begin(), e->key.end()) == "ABC" && e->data.size() == 1 && e->data[0] == 'D');
  CHECK(e && e->local_key_size == 3 && !e->common_key_size);

  const Buf truncated = {5, 0, 'A', 'B'};
  auto t = LeafEntry::parse(0, truncated);
  CHECK(t && t->key.size() == 2 && t->data.empty() && t->local_key_size == 2);

  const Buf top_bit = {1, 0x80, 'K', 'D'};
  auto tb = LeafEntry::parse(0, top_bit);
  CHECK(tb && tb->key.size() == 1 && tb->data.size() == 1);

  const Buf three = {0, 0, 0};
  CHECK_EQ(text_of(LeafEntry::parse(4, three)),
           "Parse error: Leaf entry too short: got 3 bytes, need at least 4 (flags: 0x4)");
  const Buf compressed = {2, 0, 1, 0, 'K', 'D', 'E'};
  auto c = LeafEntry::parse(4, compressed);
  CHECK(c && c->common_key_size == 2 && c->key.size() == 1 && c->data.size() == 2);

  const Buf no_key = {0, 0, 'x', 'y'};
  auto nk = LeafEntry::parse(0, no_key);
  CHECK(nk && nk->key.empty() && nk->data.size() == 2);
  const Buf only_size = {4, 0};
  auto os = LeafEntry::parse(0, only_size);
  CHECK(os && os->key.empty() && os->data.empty() && os->local_key_size == 0);

  // Large-page flag bits in the second byte are cleared before the key size is read.
  const Buf flagged = {1, 0xA0, 'K', 'D'};
  auto cleared = LeafEntry::parse(0, flagged, true);
  CHECK(cleared && cleared->key.size() == 1 && cleared->data.size() == 1);
}

TEST(branch_entries) {
  const Buf child1 = {0, 0, 1, 0, 0, 0};
  auto b = BranchEntry::parse(0, child1, 100000);
  CHECK(b && b->key.empty() && b->child_page == 1);

  auto with_child = [](std::uint32_t child) {
    Buf e = {0, 0, 0, 0, 0, 0};
    put32(e, 2, child);
    return e;
  };
  CHECK_EQ(text_of(BranchEntry::parse(0, with_child(0), 100000)),
           "Parse error: Branch entry has invalid child page number: 0 (likely corrupted data)");
  CHECK(!BranchEntry::parse(0, with_child(100001), 100000));
  CHECK(BranchEntry::parse(0, with_child(100000), 100000));
  // The bound grows with the database: a 300000-page file accepts its high child pages.
  CHECK(BranchEntry::parse(0, with_child(250000), child_page_bound(300000)));
  CHECK_EQ(child_page_bound(5), 100000u);

  const Buf seven = {2, 0, 'A', 'B', 1, 0, 0};
  CHECK_EQ(text_of(BranchEntry::parse(0, seven, 100000)),
           "Parse error: Branch entry too short for child page number: got 7 bytes, offset 4, need 4 more "
           "(likely metadata tag)");
  const Buf five = {0, 0, 1, 0, 0};
  CHECK_EQ(text_of(BranchEntry::parse(0, five, 100000)),
           "Parse error: Branch entry too short: got 5 bytes, need at least 6 (flags: 0x0)");
  const Buf seven_c = {0, 0, 0, 0, 1, 0, 0};
  CHECK_EQ(text_of(BranchEntry::parse(5, seven_c, 100000)),
           "Parse error: Branch entry too short: got 7 bytes, need at least 8 (flags: 0x5)");
  const Buf compressed = {3, 0, 1, 0, 'K', 9, 0, 0, 0};
  auto c = BranchEntry::parse(4, compressed, 100000);
  CHECK(c && c->common_key_size == 3 && c->key.size() == 1 && c->child_page == 9);
}
