// File names of exported tables. Table names come from the file being read and may hold anything, so the
// file name is derived from the raw name bytes in a way that always stays one path component.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::json {

// The longest file name most Linux and macOS file systems accept.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// Suffix of a file that an export left incomplete (stopped, or a read or write error): "Usage.jsonl.partial".
inline constexpr std::string_view kPartialSuffix = ".partial";

// "{name}{suffix}" (suffix ".jsonl", ".csv", ".parquet", or "" for a folder) where the name keeps its
// well-formed UTF-8 as is and writes `/`, `\`, `%`, control bytes (below 0x20 and 0x7F) and every byte of a
// malformed UTF-8 sequence as %XX (upper-case hexadecimal). The names "." and ".." have their dots written as
// %2E. Percent-decoding the part before the suffix gives back the name bytes, so distinct names give distinct
// files.
// A file name that, with kPartialSuffix after it, would be longer than kMaxFileNameBytes keeps the longest run
// of whole escaped characters that leaves room for "%~", 32 lower-case hexadecimal digits of the SHA-256 of the
// raw name, the suffix and kPartialSuffix: still one distinct, stable file per name, and never equal to the name
// of an unshortened file (whose '%' is always followed by two upper-case hexadecimal digits).
std::string export_file_name(std::string_view name_bytes, std::string_view suffix = ".jsonl");

// The file names of several tables exported into one directory: export_file_name of each, except that a name
// whose `fold` equals that of an earlier one (or of one in `taken`) gets "~2", "~3", ... before its suffix.
// `fold` maps a file name to what a file system that ignores case or Unicode normalisation compares, so the
// files stay apart on such a volume too; the same names in the same order always give the same files.
std::vector<std::string> distinct_file_names(const std::vector<std::string>& names_bytes, std::string_view suffix,
                                             const std::function<std::string(const std::string&)>& fold,
                                             std::vector<std::string> taken = {});

// `dir` + "/" + `file`; no separator is added when `dir` is empty or already ends with "/".
std::string join_path(std::string_view dir, std::string_view file);

}  // namespace pw::json
