// SHA-256 (FIPS 180-4), used to give over-long table names a short, stable and collision-resistant tag.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace pw::json {

std::array<std::uint8_t, 32> sha256(std::string_view data);

}  // namespace pw::json
