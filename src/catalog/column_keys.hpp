// Output keys of a table's columns: one distinct, deterministic key per column, whatever names the catalog
// gives. Every view that names values (row dicts, JSON Lines, CSV, Arrow fields) keys them this way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pw {

// Of several columns of one name (in the order given, which is column id order), the last keeps the name —
// the raw row map holds that column's value under it — and each earlier one becomes "name#id". A key that
// still meets another (a crafted name such as "A#5" beside two columns "A") gets "~" appended until unique.
std::vector<std::string> distinct_column_keys(const std::vector<std::string>& names,
                                              const std::vector<std::uint32_t>& ids);

// Makes `keys` distinct in place by the same rule ("#id", then "~"): for keys that an escape made equal.
void make_keys_distinct(std::vector<std::string>& keys, const std::vector<std::uint32_t>& ids);

// The key of the marker that says a row was flagged deleted: "_deleted", with "_" prepended while a column
// holds that key already (no engine-written table has such a column; a crafted one keeps its own).
std::string deleted_marker_key(const std::vector<std::string>& column_keys);

}  // namespace pw
