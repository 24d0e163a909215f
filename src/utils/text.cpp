#include "text.hpp"

#include "text_decoding.hpp"

namespace pw {

void append_utf8(std::string& out, std::uint32_t cp) { text_decoding::append_utf8(out, cp); }

bool is_known_codepage(std::uint32_t codepage) noexcept {
  return codepage == kCodepageUnicode || codepage == kCodepageWestern || codepage == kCodepageAscii;
}

bool decode_string_into(Bytes bytes, std::uint32_t codepage, std::string& out) {
  return text_decoding::decode_string_into(bytes, codepage, out);
}

Result<std::string> decode_string(Bytes bytes, std::uint32_t codepage) {
  std::string out;
  if (!decode_string_into(bytes, codepage, out)) return EseError::unknown_codepage(codepage);
  return out;
}

}  // namespace pw
