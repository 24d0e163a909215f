// File names of exported tables. Table names come from the file being read and may hold anything, so the
// file name is derived from the raw name bytes in a way that always stays one path component.
#pragma once

#include <string>
#include <string_view>

namespace pw::json {

// The longest file name most Linux and macOS file systems accept.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// "{name}.jsonl" where the name keeps its well-formed UTF-8 as is and writes `/`, `\`, `%`, control bytes
// (below 0x20 and 0x7F) and every byte of a malformed UTF-8 sequence as %XX (upper-case hexadecimal). The
// names "." and ".." have their dots written as %2E. Percent-decoding the part before ".jsonl" gives back
// the name bytes, so distinct names give distinct files.
// A file name longer than kMaxFileNameBytes keeps the longest run of whole escaped characters that leaves room
// for "%~", 32 lower-case hexadecimal digits of the SHA-256 of the raw name and ".jsonl": still one distinct,
// stable file per name, and never equal to the name of an unshortened file (whose '%' is always followed by
// two upper-case hexadecimal digits).
std::string export_file_name(std::string_view name_bytes);

// `dir` + "/" + `file`; no separator is added when `dir` is empty or already ends with "/".
std::string join_path(std::string_view dir, std::string_view file);

}  // namespace pw::json
