// Opening a database file as a ByteSource: mapped read-only and guarded against failed reads (see
// fault_guard.hpp), or read into memory when no guard is free.
#pragma once

#include <memory>
#include <string>

#include "../result.hpp"
#include "byte_source.hpp"

namespace pw {

Result<std::unique_ptr<ByteSource>> open_file_source(const std::string& path);
// The same for a descriptor the caller owns (the mapping stays valid after the caller closes it).
Result<std::unique_ptr<ByteSource>> open_descriptor_source(int fd);

}  // namespace pw
