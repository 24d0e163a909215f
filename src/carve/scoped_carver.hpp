// Carving every page of a database, restricted to one kind of region.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "carved_string.hpp"

namespace pw {

class Database;

// UTF-16LE strings of at least min_chars (at least 2) characters in the regions of `scope` of every page, in
// page order, at most max_hits (at least 1) of them; only strings containing `needle` when one is given.
std::vector<CarvedString> carve_utf16le_strings_scoped(const Database& db, CarveScope scope,
                                                       const std::optional<std::string>& needle,
                                                       std::uint64_t min_chars, std::uint64_t max_hits);

struct CarveOptions {
  bool any_script = false;   // text of every script (carve_utf16le_any_script_from_range), not ASCII only
  bool tree_owners = false;  // hits of every page of a table's trees name it, not those of its data leaves only
};

struct CarveResult {
  std::vector<CarvedString> hits;
  bool stopped_at_max_hits = false;  // the scan ended at max_hits with more strings left to find
};

// The same scan with options; the result says whether max_hits cut it short.
CarveResult carve_scoped(const Database& db, CarveScope scope, const std::optional<std::string>& needle,
                         std::uint64_t min_chars, std::uint64_t max_hits, CarveOptions options);

}  // namespace pw
