#include "../database.hpp"
#include "carved_string.hpp"
#include <vector>
namespace pw {
std::optional<CarveScope> parse_carve_scope(std::string_view) noexcept { return std::nullopt; }
std::vector<CarvedString> Database::carve_utf16le_strings_scoped(CarveScope, const std::optional<std::string>&,
                                                                 std::uint64_t, std::uint64_t) const {
  return {};
}
}  // namespace pw
