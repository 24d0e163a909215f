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

}  // namespace pw
