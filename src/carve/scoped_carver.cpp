#include "scoped_carver.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../database.hpp"
#include "../page/tag.hpp"
#include "carved_string.hpp"
#include "owner_map.hpp"
#include "page_regions.hpp"
#include "range_carver.hpp"

namespace pw {
namespace {

constexpr std::string_view kRegionSlack = "slack";
constexpr std::string_view kRegionAll = "all";
constexpr std::string_view kRegionTagData = "tag_data";
constexpr std::uint32_t kPrefetchDistance = 4;  // pages

// The page type word: the first of long value, space tree, index and leaf that the flags carry, else branch.
std::string_view page_type_word(std::uint32_t flags) noexcept {
  if (flags & page_flag::kLongValue) return "long_value";
  if (flags & page_flag::kSpaceTree) return "space_tree";
  if (flags & page_flag::kIndex) return "index";
  if (flags & page_flag::kLeaf) return "leaf";
  return "branch";
}

// The header and the tag array of a page lie at its two ends, apart from the bytes just scanned: asking for
// those of a page further on lets their cache misses overlap the work on the current page.
void prefetch_page_ends(Bytes file, std::uint64_t page_size, std::uint32_t page) noexcept {
#if defined(__GNUC__)
  const std::uint64_t start = (static_cast<std::uint64_t>(page) + 1) * page_size;
  if (page_size < 128 || start + page_size > file.size()) return;
  __builtin_prefetch(&file[start]);
  __builtin_prefetch(&file[start + page_size - 64]);
  __builtin_prefetch(&file[start + page_size - 128]);
#else
  (void)file;
  (void)page_size;
  (void)page;
#endif
}

}  // namespace

std::optional<CarveScope> parse_carve_scope(std::string_view word) noexcept {
  if (word == "slack") return CarveScope::Slack;
  if (word == "all") return CarveScope::All;
  if (word == "tag_data") return CarveScope::TagData;
  if (word == "lv_all") return CarveScope::LvAll;
  if (word == "lv_slack") return CarveScope::LvSlack;
  return std::nullopt;
}

std::vector<CarvedString> carve_utf16le_strings_scoped(const Database& db, CarveScope scope,
                                                       const std::optional<std::string>& needle,
                                                       std::uint64_t min_chars, std::uint64_t max_hits) {
  return carve_scoped(db, scope, needle, min_chars, max_hits, {}).hits;
}

CarveResult carve_scoped(const Database& db, CarveScope scope, const std::optional<std::string>& needle,
                         std::uint64_t min_chars, std::uint64_t max_hits, CarveOptions options) {
  const std::uint64_t min = std::max<std::uint64_t>(min_chars, 2);
  const std::uint64_t wanted = std::max<std::uint64_t>(max_hits, 1);
  // One hit more than wanted tells whether the limit cut the scan short; it is dropped at the end.
  const std::uint64_t limit = wanted == UINT64_MAX ? wanted : wanted + 1;
  CarveResult result;
  std::vector<CarvedString>& hits = result.hits;
  const bool lv_only = scope == CarveScope::LvAll || scope == CarveScope::LvSlack;
  const bool slack = scope == CarveScope::Slack || scope == CarveScope::LvSlack;
  const bool whole = scope == CarveScope::All || scope == CarveScope::LvAll;
  const bool large = db.large_page_mode();

  std::optional<OwnerMap> owners;  // built on the first leaf page met
  const SharedName no_table;
  // One shared copy of each owner's name, made the first time one of its pages is met.
  std::unordered_map<const std::string*, SharedName> owner_names;
  std::vector<ByteRange> occupied;
  TextUnitMap unit_map;  // tag data: the page is classified once for all of its (often many, small) tags

  for (std::uint32_t n = 1; n != 0 && n <= db.total_pages() && hits.size() < limit; ++n) {
    prefetch_page_ends(db.file_bytes(), db.page_size(), n + kPrefetchDistance);
    auto read = db.read_page(n);
    if (!read) continue;
    const Page& page = *read;
    const std::uint32_t flags = page.page_flags();
    if (lv_only && !(flags & page_flag::kLongValue)) continue;
    const PageTags tags(page, tag_range(page, db.page_size()).count, large);
    const std::string_view type = page_type_word(flags);

    const SharedName* table = &no_table;
    if ((type == "leaf" || options.tree_owners) && !db.tables().empty()) {
      if (!owners) owners.emplace(OwnerMap::build(db, options.tree_owners));
      if (const std::string* name = owners->owner(n)) {
        SharedName& shared = owner_names[name];
        if (!shared) shared = std::make_shared<const std::string>(*name);
        table = &shared;
      }
    }

    auto carve = [&](std::uint64_t start, std::uint64_t end, std::string_view kind) {
      if (options.any_script) {
        carve_utf16le_any_script_from_range(n, page.data, start, end, kind, flags, type, *table, needle, min, limit,
                                            hits);
      } else {
        carve_utf16le_from_range(n, page.data, start, end, kind, flags, type, *table, needle, min, limit, hits);
      }
      return hits.size() < limit;
    };

    if (whole) {
      carve(0, page.data.size(), kRegionAll);
    } else if (slack) {
      tags.occupied_ranges(occupied);
      for_each_slack_gap(page.data.size(), occupied,
                         [&](std::uint64_t start, std::uint64_t end) { return carve(start, end, kRegionSlack); });
    } else if (options.any_script) {
      for (std::uint16_t i = 0, readable = tags.readable_count(); i < readable; ++i) {
        const auto range = tags.data_range(i);
        if (range && !carve(range->start, range->end, kRegionTagData)) break;
      }
    } else if (tags.count() != 0) {
      unit_map.assign(page.data);
      for (std::uint16_t i = 0, readable = tags.readable_count(); i < readable; ++i) {
        const auto range = tags.data_range(i);
        if (!range) continue;
        carve_utf16le_from_range(unit_map, n, range->start, range->end, kRegionTagData, flags, type, *table, needle,
                                 min, limit, hits);
        if (hits.size() >= limit) break;
      }
    }
  }
  if (hits.size() > wanted) {
    hits.resize(wanted);
    result.stopped_at_max_hits = true;
  }
  return result;
}

}  // namespace pw
