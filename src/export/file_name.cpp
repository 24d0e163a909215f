#include "file_name.hpp"

#include <cstdint>
#include <unordered_set>

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

constexpr std::string_view kShortenedMark = "%~";  // never written by the escaping: '%' is always followed by hex
constexpr std::size_t kHashDigits = 32;            // 128 bits of the SHA-256 of the raw name
// The longest name with its suffix: room is kept for kPartialSuffix.
constexpr std::size_t kMaxNamed = kMaxFileNameBytes - kPartialSuffix.size();

bool is_special_ascii(std::uint8_t b) { return b < 0x20 || b == 0x7F || b == '/' || b == '\\' || b == '%'; }

}  // namespace

std::string export_file_name(std::string_view name_bytes, std::string_view suffix) {
  // A suffix so long that no name fits beside it is cut to what leaves room for the shortened form.
  suffix = suffix.substr(0, kMaxNamed - kShortenedMark.size() - kHashDigits);
  const std::size_t max_prefix = kMaxNamed - suffix.size() - kShortenedMark.size() - kHashDigits;
  std::string out;
  out.reserve(name_bytes.size() + suffix.size());
  if (name_bytes == "." || name_bytes == "..") {
    for (std::size_t k = 0; k < name_bytes.size(); ++k) append_percent(out, '.');
  } else {
    const auto* s = reinterpret_cast<const std::uint8_t*>(name_bytes.data());
    const std::size_t n = name_bytes.size();
    std::size_t i = 0;
    std::size_t fitting = 0;  // length of the longest run of whole escaped units that fits a shortened name
    while (i < n) {
      if (out.size() <= max_prefix) fitting = out.size();
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
    if (out.size() <= max_prefix) fitting = out.size();
    if (out.size() + suffix.size() > kMaxNamed) {
      out.resize(fitting);
      out.append(kShortenedMark);
      const auto digest = sha256(name_bytes);
      for (std::size_t k = 0; k < kHashDigits / 2; ++k) {
        out.push_back(kLowerHex[digest[k] >> 4]);
        out.push_back(kLowerHex[digest[k] & 0xF]);
      }
    }
  }
  out.append(suffix);
  return out;
}

std::vector<std::string> distinct_file_names(const std::vector<std::string>& names_bytes, std::string_view suffix,
                                             const std::function<std::string(const std::string&)>& fold,
                                             std::vector<std::string> taken) {
  std::unordered_set<std::string> folded;
  for (const std::string& name : taken) folded.insert(fold(name));
  std::vector<std::string> out;
  out.reserve(names_bytes.size());
  for (const std::string& raw : names_bytes) {
    std::string name = export_file_name(raw, suffix);
    if (!folded.insert(fold(name)).second) {
      std::string stem = name.substr(0, name.size() - suffix.size());
      for (std::uint64_t number = 2;; ++number) {
        std::string mark(1, '~');
        mark.append(std::to_string(number));
        // Whole UTF-8 characters are dropped from the end until the mark fits.
        while (!stem.empty() && stem.size() + mark.size() + suffix.size() > kMaxNamed) {
          std::size_t cut = stem.size() - 1;
          while (cut > 0 && (static_cast<std::uint8_t>(stem[cut]) & 0xC0) == 0x80) --cut;
          stem.resize(cut);
        }
        name.assign(stem).append(mark).append(suffix);
        if (folded.insert(fold(name)).second) break;
      }
    }
    out.push_back(std::move(name));
  }
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
