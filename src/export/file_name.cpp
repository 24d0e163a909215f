#include "file_name.hpp"

#include <cstdint>

#include "sha256.hpp"
#include "utf8_sequence.hpp"

namespace pw::json {
namespace {

constexpr char kLowerHex[] = "0123456789abcdef";

void append_percent(std::string& out, std::uint8_t b) {
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(kUpperHex[b >> 4]);
  out.push_back(kUpperHex[b & 0xF]);
}

constexpr std::string_view kSuffix = ".jsonl";
constexpr std::string_view kShortenedMark = "%~";  // never written by the escaping: '%' is always followed by hex
constexpr std::size_t kHashDigits = 32;            // 128 bits of the SHA-256 of the raw name
constexpr std::size_t kMaxPrefix = kMaxFileNameBytes - kSuffix.size() - kShortenedMark.size() - kHashDigits;

bool is_special_ascii(std::uint8_t b) { return b < 0x20 || b == 0x7F || b == '/' || b == '\\' || b == '%'; }

}  // namespace

std::string export_file_name(std::string_view name_bytes) {
  std::string out;
  out.reserve(name_bytes.size() + 6);
  if (name_bytes == "." || name_bytes == "..") {
    for (std::size_t k = 0; k < name_bytes.size(); ++k) append_percent(out, '.');
  } else {
    const auto* s = reinterpret_cast<const std::uint8_t*>(name_bytes.data());
    const std::size_t n = name_bytes.size();
    std::size_t i = 0;
    std::size_t fitting = 0;  // length of the longest run of whole escaped units that fits a shortened name
    while (i < n) {
      if (out.size() <= kMaxPrefix) fitting = out.size();
      const std::uint8_t b = s[i];
      if (b < 0x80) {
        if (is_special_ascii(b)) {
          append_percent(out, b);
        } else {
          out.push_back(static_cast<char>(b));
        }
        ++i;
        continue;
      }
      const std::size_t len = utf8_sequence_length(s + i, n - i);
      if (len == 0) {
        // Not the start of a well-formed sequence: this byte is escaped, and the scan goes on from the next
        // byte, so every byte of a malformed sequence ends up escaped.
        append_percent(out, b);
        ++i;
      } else {
        out.append(name_bytes.data() + i, len);
        i += len;
      }
    }
    if (out.size() <= kMaxPrefix) fitting = out.size();
    if (out.size() + kSuffix.size() > kMaxFileNameBytes) {
      out.resize(fitting);
      out.append(kShortenedMark);
      const auto digest = sha256(name_bytes);
      for (std::size_t k = 0; k < kHashDigits / 2; ++k) {
        out.push_back(kLowerHex[digest[k] >> 4]);
        out.push_back(kLowerHex[digest[k] & 0xF]);
      }
    }
  }
  out.append(kSuffix);
  return out;
}

std::string join_path(std::string_view dir, std::string_view file) {
  std::string path;
  path.reserve(dir.size() + 1 + file.size());
  path.append(dir);
  if (!dir.empty() && dir.back() != '/') path.push_back('/');
  path.append(file);
  return path;
}

}  // namespace pw::json
