// Output files of an export: created without following a planted symbolic link, never anything but a
// regular file, written in full, closed on every path.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "../io/file_descriptor.hpp"

namespace pw::io {

using pw::FileDescriptor;

// Why an output file was not created.
struct OpenFailure {
  enum class Kind { Os, SymbolicLink, NotRegularFile };
  Kind kind = Kind::Os;
  int os_errno = 0;  // for Kind::Os
  // "Failed to create output file: <reason>".
  std::string to_string() const;
};

// Opens `path` for writing, creating it (mode 0666 before the umask) or truncating it to empty. A symbolic
// link at the last component is refused, never followed; a FIFO, device, socket or directory there is refused
// without blocking and left untouched. On success `file` holds the descriptor.
std::optional<OpenFailure> open_output_file(const std::string& path, FileDescriptor& file);

// Writes all of `data`; returns 0 or the errno of the failed write.
int write_all(int fd, const char* data, std::size_t size) noexcept;

// mkdir -p: creates `path` and its missing parents. An existing directory (or one created meanwhile by someone
// else) is fine; an existing non-directory gives EEXIST. Returns 0 or an errno.
int create_directories(const std::string& path);

}  // namespace pw::io
