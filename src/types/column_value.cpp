#include "column_value.hpp"

namespace pw {
namespace {

constexpr std::string_view kColumnTypeNames[kColumnTypeCount] = {
    "NULL",
    "Boolean",
    "Unsigned byte",
    "Signed short",
    "Signed long",
    "Currency",
    "Single precision FP",
    "Double precision FP",
    "DateTime",
    "Binary",
    "Text",
    "Long Binary",
    "Long Text",
    "Obsolete",
    "Unsigned long",
    "Long long",
    "GUID",
    "Unsigned short",
    "Unsigned long long",
};

}  // namespace

std::string_view column_type_name(std::uint32_t code) noexcept {
  return code < kColumnTypeCount ? kColumnTypeNames[code] : std::string_view("Unknown");
}

std::string guid_text(const std::array<std::uint8_t, 16>& g) {
  static constexpr char kHex[] = "0123456789abcdef";
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string out;
  out.reserve(36);
  for (int k = 0; k < 16; ++k) {
    if (k == 4 || k == 6 || k == 8 || k == 10) out.push_back('-');
    const std::uint8_t b = g[kOrder[k]];
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
  }
  return out;
}

}  // namespace pw
