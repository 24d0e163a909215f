#include "error.hpp"

#include <cstring>
#include <string_view>

#include "utils/utf8.hpp"

namespace pw {
namespace {

std::string hex(std::uint64_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return "0x" + digits;
}

std::string byte_list(std::string_view bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(static_cast<unsigned char>(bytes[i]));
  }
  return out + "]";
}

}  // namespace

std::string os_error_text(int os_errno) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(os_errno, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(os_errno) + ")";
}

std::string utf8_lossy(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  const auto* s = reinterpret_cast<const std::uint8_t*>(in.data());
  for (std::size_t i = 0; i < in.size();) {
    const Utf8Step step = utf8_step(s + i, in.size() - i);
    if (step.valid) {
      out.append(in.substr(i, step.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += step.length;
  }
  return out;
}

std::string EseError::to_string() const {
  switch (kind_) {
    case ErrorKind::InvalidHeader:
      return "Invalid database header";
    case ErrorKind::InvalidSignature:
      return "Invalid signature, expected 0x89ABCDEF, got " + hex(a_);
    case ErrorKind::UnsupportedVersion:
      return "Unsupported database version: " + hex(a_) + ", revision: " + hex(b_);
    case ErrorKind::InvalidPageNumber:
      if (c_ == kTruncatedFile) {
        return "page " + std::to_string(a_) + " lies past the end of the file (" + std::to_string(b_) +
               (b_ == 1 ? " page" : " pages") + "): the file is truncated";
      }
      return "Invalid page number: " + std::to_string(a_);
    case ErrorKind::InvalidTagNumber:
      return "Invalid tag number: " + std::to_string(a_);
    case ErrorKind::TableNotFound:
      return "Table not found: " + utf8_lossy(text_);
    case ErrorKind::ColumnNotFound:
      return "Column not found: " + byte_list(text_);
    case ErrorKind::UnsupportedCatalogType:
      return "Unsupported catalog type: " + std::to_string(a_);
    case ErrorKind::UnsupportedColumnType:
      return "Unsupported column type: " + std::to_string(a_);
    case ErrorKind::CompressedDataNotSupported:
      return "Compressed tagged data is not supported";
    case ErrorKind::LongValueNotSupported:
      return "Long value data is not yet supported";
    case ErrorKind::MultiValueNotSupported:
      return "Multi-value data is not fully supported";
    case ErrorKind::CallbackNotSupported:
      return "Callback catalog type is not supported";
    case ErrorKind::InvalidDataDefinitionHeader:
      return "Invalid data definition header";
    case ErrorKind::InvalidCatalogEntry:
      return "Invalid catalog entry";
    case ErrorKind::PageDataTooShort:
      return "Page data too short, expected at least " + std::to_string(a_) + " bytes, got " + std::to_string(b_);
    case ErrorKind::TagOffsetOutOfBounds:
      return "Tag offset out of bounds: offset=" + std::to_string(a_) + ", size=" + std::to_string(b_) +
             ", page_size=" + std::to_string(c_);
    case ErrorKind::UnknownCodepage:
      return "Unknown codepage: " + std::to_string(a_);
    case ErrorKind::StringDecodeError:
      return "String decode error: " + text_;
    case ErrorKind::Io:
      return "IO error: " + os_error_text(os_errno());
    case ErrorKind::ParseError:
      return "Parse error: " + text_;
    case ErrorKind::AlignmentError:
      return "Alignment error: " + text_;
  }
  return {};
}

}  // namespace pw
