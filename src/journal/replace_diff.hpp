// The after image of a ReplaceD record: its difference applied to the before image.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "../utils/bytes.hpp"

namespace pw {

// Each piece of the difference copies the before image up to an offset, then inserts new bytes, or replaces
// old bytes with new ones (of the same or another length); the rest of the before image follows. Nothing
// when a piece does not fit the before image or the difference, or the image would exceed `max_size`.
std::optional<std::string> apply_replace_diff(Bytes before, Bytes diff, bool second_form, std::size_t max_size);

}  // namespace pw
