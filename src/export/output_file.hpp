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
  // The errno that stands for the failure: os_errno, ELOOP for a link, EEXIST for a path that is no file.
  int error_number() const noexcept;
};

// Opens `path` for writing, creating it (mode 0666 before the umask) or truncating it to empty. A symbolic
// link at the last component is refused, never followed; a FIFO, device, socket or directory there is refused
// without blocking and left untouched. On success `file` holds the descriptor.
std::optional<OpenFailure> open_output_file(const std::string& path, FileDescriptor& file);

// An output file written under a temporary name in the directory of its path, so that a file at the path is
// only ever complete. commit() renames it into place; abandon() (also destruction without a commit) keeps what
// was written as "<path>.partial" and removes a file an earlier run left at the path, which is not this run's.
class ReplacingFile {
 public:
  ReplacingFile() = default;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile() { abandon(); }

  // Refuses, as open_output_file does, a path that holds a symbolic link or anything but a regular file.
  static std::optional<OpenFailure> create(const std::string& path, ReplacingFile& out);

  int fd() const noexcept { return file_.get(); }
  // 0, or the errno of the failed close or rename (the file is then still to be abandoned).
  int commit();
  // The path that keeps the incomplete file ("<path>.partial", or the temporary name when that cannot be
  // renamed); empty when there is nothing to keep.
  std::string abandon();

 private:
  std::string path_;
  std::string temp_;
  FileDescriptor file_;
};

// Writes all of `data`; returns 0 or the errno of the failed write.
int write_all(int fd, const char* data, std::size_t size) noexcept;

// mkdir -p: creates `path` and its missing parents. An existing directory (or one created meanwhile by someone
// else) is fine; an existing non-directory gives EEXIST. Returns 0 or an errno.
int create_directories(const std::string& path);

}  // namespace pw::io
