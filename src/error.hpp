// EseError: the one error type below the Python layer. A kind plus that kind's typed fields; text on demand.
#pragma once

#include <cstdint>
#include <string>

namespace pw {

enum class ErrorKind : std::uint8_t {
  InvalidHeader,
  InvalidSignature,
  UnsupportedVersion,
  InvalidPageNumber,
  InvalidTagNumber,
  TableNotFound,
  ColumnNotFound,
  UnsupportedCatalogType,
  UnsupportedColumnType,
  CompressedDataNotSupported,
  LongValueNotSupported,
  MultiValueNotSupported,
  CallbackNotSupported,
  InvalidDataDefinitionHeader,
  InvalidCatalogEntry,
  PageDataTooShort,
  TagOffsetOutOfBounds,
  UnknownCodepage,
  StringDecodeError,
  Io,
  ParseError,
  AlignmentError,
};

class EseError {
 public:
  static EseError invalid_header() { return EseError(ErrorKind::InvalidHeader); }
  static EseError invalid_signature(std::uint32_t found) { return EseError(ErrorKind::InvalidSignature, found); }
  static EseError unsupported_version(std::uint32_t version, std::uint32_t revision) {
    return EseError(ErrorKind::UnsupportedVersion, version, revision);
  }
  static EseError invalid_page_number(std::uint32_t page) { return EseError(ErrorKind::InvalidPageNumber, page); }
  // The same kind for a page past the end of a file that is known to be cut short (it holds file_pages).
  static EseError page_past_truncated_end(std::uint32_t page, std::uint32_t file_pages) {
    return EseError(ErrorKind::InvalidPageNumber, page, file_pages, kTruncatedFile);
  }
  static EseError invalid_tag_number(std::uint16_t tag) { return EseError(ErrorKind::InvalidTagNumber, tag); }
  static EseError table_not_found(std::string name) { return EseError(ErrorKind::TableNotFound, std::move(name)); }
  static EseError column_not_found(std::string name) { return EseError(ErrorKind::ColumnNotFound, std::move(name)); }
  static EseError unsupported_catalog_type(std::uint16_t type) {
    return EseError(ErrorKind::UnsupportedCatalogType, type);
  }
  static EseError unsupported_column_type(std::uint32_t type) {
    return EseError(ErrorKind::UnsupportedColumnType, type);
  }
  static EseError compressed_data_not_supported() { return EseError(ErrorKind::CompressedDataNotSupported); }
  static EseError long_value_not_supported() { return EseError(ErrorKind::LongValueNotSupported); }
  static EseError multi_value_not_supported() { return EseError(ErrorKind::MultiValueNotSupported); }
  static EseError callback_not_supported() { return EseError(ErrorKind::CallbackNotSupported); }
  static EseError invalid_data_definition_header() { return EseError(ErrorKind::InvalidDataDefinitionHeader); }
  static EseError invalid_catalog_entry() { return EseError(ErrorKind::InvalidCatalogEntry); }
  static EseError page_data_too_short(std::uint64_t expected, std::uint64_t actual) {
    return EseError(ErrorKind::PageDataTooShort, expected, actual);
  }
  static EseError tag_offset_out_of_bounds(std::uint64_t offset, std::uint64_t size, std::uint64_t page_size) {
    return EseError(ErrorKind::TagOffsetOutOfBounds, offset, size, page_size);
  }
  static EseError unknown_codepage(std::uint32_t codepage) { return EseError(ErrorKind::UnknownCodepage, codepage); }
  static EseError string_decode_error(std::string message) {
    return EseError(ErrorKind::StringDecodeError, std::move(message));
  }
  // An operating-system failure, by its error number.
  static EseError io(int os_errno) { return EseError(ErrorKind::Io, static_cast<std::uint64_t>(os_errno)); }
  static EseError parse_error(std::string message) { return EseError(ErrorKind::ParseError, std::move(message)); }
  static EseError alignment_error(std::string message) {
    return EseError(ErrorKind::AlignmentError, std::move(message));
  }

  ErrorKind kind() const noexcept { return kind_; }
  // Raw bytes of TableNotFound / ColumnNotFound, message of the message-carrying kinds.
  const std::string& bytes() const noexcept { return text_; }
  int os_errno() const noexcept { return static_cast<int>(a_); }

  // The display text of the error.
  std::string to_string() const;

 private:
  explicit EseError(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0, std::uint64_t c = 0)
      : kind_(kind), a_(a), b_(b), c_(c) {}
  EseError(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  static constexpr std::uint64_t kTruncatedFile = 1;

  ErrorKind kind_;
  std::uint64_t a_ = 0, b_ = 0, c_ = 0;
  std::string text_;
};

// "<description> (os error N)", the text of an operating-system error number.
std::string os_error_text(int os_errno);

// UTF-8 decoding with every invalid sequence replaced by U+FFFD (WHATWG "decode with replacement").
std::string utf8_lossy(std::string_view bytes);

}  // namespace pw
