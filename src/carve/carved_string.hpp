// CarvedString and CarveScope: one carving hit with its page context, and the kinds of page region carved.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pw {

enum class CarveScope : std::uint8_t { Slack, All, TagData, LvAll, LvSlack };

// "slack", "all", "tag_data", "lv_all", "lv_slack" (exact, case-sensitive).
std::optional<CarveScope> parse_carve_scope(std::string_view word) noexcept;

// A table name shared by every hit of that table: a name may be long and hits many, so it is stored once.
using SharedName = std::shared_ptr<const std::string>;

// One string found by the carver. Positions are byte offsets within the scanned buffer (the page);
// slack_start and slack_end are the bounds of the scanned region. `table` holds the owning table's name bytes
// as stored in the catalog (null for a page no table owns); hits of one table share one string.
struct CarvedString {
  std::uint32_t page = 0;
  std::uint64_t offset = 0;
  std::uint64_t slack_start = 0;
  std::uint64_t slack_end = 0;
  std::string region_kind;
  std::uint32_t page_flags = 0;
  std::string page_type;
  SharedName table;
  std::string text;
};

}  // namespace pw
