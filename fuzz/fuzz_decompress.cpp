// Fuzz target: the decompressors and the text decoder. Byte 0 picks the column type and codepage of the
// tagged-value decompression, bytes 1-3 the output size asked of the LZ77 and LZ4 decoders; the rest is the value.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "catalog/table_info.hpp"
#include "error.hpp"
#include "export/file_name.hpp"
#include "export/json_writer.hpp"
#include "fuzz_checks.hpp"
#include "record/decompress.hpp"
#include "record/parser.hpp"
#include "record/record.hpp"
#include "utils/text.hpp"

namespace {

// Percent-decoding of an export file name's stem (the inverse its header describes).
std::string percent_decoded_stem(const std::string& file) {
  constexpr std::string_view kSuffix = ".jsonl";
  pwfuzz::require(file.size() >= kSuffix.size() && file.ends_with(kSuffix), "export file name lacks .jsonl");
  const std::string_view stem(file.data(), file.size() - kSuffix.size());
  std::string out;
  for (std::size_t i = 0; i < stem.size(); ++i) {
    if (stem[i] != '%') {
      out.push_back(stem[i]);
      continue;
    }
    pwfuzz::require(i + 2 < stem.size(), "truncated escape in export file name");
    const auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      pwfuzz::fail("escape in export file name is not upper-case hexadecimal");
    };
    out.push_back(static_cast<char>(nibble(stem[i + 1]) * 16 + nibble(stem[i + 2])));
    i += 2;
  }
  return out;
}

// Bounds the output the LZ77 decoder is asked for (real values ask for at most 65535 bytes).
constexpr std::size_t kMaxLz77Size = 1u << 18;

constexpr std::uint32_t kCodepages[] = {pw::kCodepageUnicode, pw::kCodepageWestern, pw::kCodepageAscii, 65001};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pwfuzz::Reader in(data, size);
  const std::uint8_t selector = in.u8();
  const std::uint32_t lz_size = (in.u16() | (static_cast<std::uint32_t>(in.u8()) << 16)) % (kMaxLz77Size + 1);
  const pw::Bytes value(in.rest(), in.remaining());

  pw::ColumnInfo column;
  column.name = "c";
  column.column_type = (selector & 1) ? pw::column_type::kLongText : pw::column_type::kLongBinary;
  if (selector & 2) column.column_type = pw::column_type::kText;
  if (selector & 4) column.codepage = kCodepages[(selector >> 3) & 3];
  column.flags = pw::column_flag::kCompressed;

  std::optional<pw::Unreadable> unreadable;
  const pw::ColumnValue tagged = pw::decompress_tagged(value, column, &unreadable);
  if (tagged.tag == pw::ValueTag::Text) pwfuzz::require(pwfuzz::is_utf8(tagged.bytes), "Text is not valid UTF-8");
  const auto scheme = value.empty() ? pw::CompressionScheme::None : pw::compression_scheme(value[0]);
  if (pw::undecoded_scheme(scheme)) {
    pwfuzz::require(unreadable == pw::undecoded_scheme(scheme), "a scheme not decoded gives no reason");
    pwfuzz::require(tagged.tag == pw::ValueTag::Binary && tagged.bytes.size() == value.size(),
                    "a value of a scheme not decoded is not its stored bytes");
  }

  if (const auto original = pw::decompress_to_original(value)) {
    if (scheme == pw::CompressionScheme::Xpress || scheme == pw::CompressionScheme::Lz4) {
      pwfuzz::require(original->size() == *pw::read_u16le(value, 1), "XPRESS/LZ4 output size differs from its header");
    }
  } else if (scheme == pw::CompressionScheme::Xpress || scheme == pw::CompressionScheme::Lz4) {
    pwfuzz::require(unreadable == pw::Unreadable::CorruptCompressed, "a corrupt stream is not counted as such");
  }
  if (const auto out = pw::lz77_decompress(value, lz_size)) {
    pwfuzz::require(out->size() == lz_size, "LZ77 output size differs from the size asked for");
  }
  if (const auto out = pw::lz4_decompress(value, lz_size)) {
    pwfuzz::require(out->size() == lz_size, "LZ4 output size differs from the size asked for");
  }
  const auto units = pw::unpack_7bit(value);
  pwfuzz::require(units.size() == value.size() * 8 / 7, "7-bit unit count");
  for (const std::uint8_t u : units) pwfuzz::require(u < 0x80, "7-bit unit above 0x7F");
  (void)pw::decompress_7bit_units(value);

  for (const std::uint32_t cp : kCodepages) {
    const auto text = pw::decode_string(value, cp);
    pwfuzz::require(text.ok() == pw::is_known_codepage(cp), "codepage acceptance");
    if (text) pwfuzz::require(pwfuzz::is_utf8(*text), "decoded text is not valid UTF-8");
  }
  const std::string_view raw(reinterpret_cast<const char*>(value.data()), value.size());
  const std::string lossy = pw::utf8_lossy(raw);
  pwfuzz::require(pwfuzz::is_utf8(lossy), "utf8_lossy output is not valid UTF-8");
  if (pwfuzz::is_utf8(raw)) pwfuzz::require(lossy == raw, "utf8_lossy changed valid UTF-8");
  std::string quoted;
  pw::json::append_string(quoted, raw);
  pwfuzz::require(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"', "JSON string not quoted");
  pwfuzz::require(pwfuzz::is_utf8(quoted), "JSON string is not valid UTF-8");
  const std::string file = pw::json::export_file_name(raw);
  pwfuzz::require(pwfuzz::is_utf8(file), "export file name is not valid UTF-8");
  pwfuzz::require(file.find('/') == std::string::npos && file.find('\0') == std::string::npos,
                  "export file name is not one path component");
  pwfuzz::require(file != ".jsonl" || raw.empty(), "export file name of a non-empty name has no stem");
  pwfuzz::require(file.size() <= pw::json::kMaxFileNameBytes, "export file name is too long");
  if (const std::size_t mark = file.find("%~"); mark != std::string::npos) {
    // Shortened: the kept part decodes to a prefix of the name.
    pwfuzz::require(raw.starts_with(percent_decoded_stem(file.substr(0, mark) + ".jsonl")),
                    "shortened export file name does not start with the name");
  } else {
    pwfuzz::require(percent_decoded_stem(file) == raw, "export file name does not decode back to the name");
  }

  for (std::uint32_t type = 0; type <= 19; ++type) {
    column.column_type = type;
    (void)pw::RecordParser::parse_column_value(value, column);
    const pw::ColumnValue v = pw::text_or_binary(value, column);
    if (v.tag == pw::ValueTag::Text) pwfuzz::require(pwfuzz::is_utf8(v.bytes), "Text is not valid UTF-8");
  }
  return 0;
}
