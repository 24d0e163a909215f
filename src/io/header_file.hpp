// Reading only a database file's header (no mapping, no catalog): what a damaged file can still tell.
#pragma once

#include <cstdint>
#include <string>

#include "../format/file_header.hpp"
#include "../result.hpp"

namespace pw {

struct HeaderRead {
  FileHeader header;
  bool shadow = false;  // read from the shadow copy: the primary is damaged
  std::uint64_t file_size = 0;
};

// The header copy a Database would use (see choose_header). Fails when the file cannot be read or is shorter
// than a header block.
Result<HeaderRead> read_header_file(const std::string& path);

}  // namespace pw
