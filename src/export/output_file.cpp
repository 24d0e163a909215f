#include "output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "../error.hpp"
#include "file_name.hpp"

namespace pw::io {
namespace {

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_symbolic_link(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int create_directories_at_depth(const std::string& path, int depth) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err == ENOENT && depth < 4096) {
    // Parent: strip trailing slashes, then the last component, then the slashes before it.
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    while (end > 0 && path[end - 1] != '/') --end;
    while (end > 0 && path[end - 1] == '/') --end;
    if (end > 0) {
      const int parent_err = create_directories_at_depth(path.substr(0, end), depth + 1);
      if (parent_err != 0) return parent_err;
      if (::mkdir(path.c_str(), 0777) == 0) return 0;
      err = errno;
    }
  }
  if (err == EEXIST && is_directory(path)) return 0;
  return err;
}

OpenFailure os_failure(int err) { return {OpenFailure::Kind::Os, err}; }

// 64 bits for a temporary name: the system's entropy, else the clock and a counter (O_EXCL keeps any choice safe).
std::uint64_t name_bits() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t bits = 0;
  if (::getentropy(&bits, sizeof bits) != 0) {
    bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           (static_cast<std::uint64_t>(::getpid()) << 32);
  }
  return bits ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL);
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

int OpenFailure::error_number() const noexcept {
  switch (kind) {
    case Kind::SymbolicLink:
      return ELOOP;
    case Kind::NotRegularFile:
      return EEXIST;
    case Kind::Os:
      break;
  }
  return os_errno;
}

std::string OpenFailure::to_string() const {
  std::string text = "Failed to create output file: ";
  switch (kind) {
    case Kind::SymbolicLink:
      return text + "the path is a symbolic link, which is not followed";
    case Kind::NotRegularFile:
      return text + "the path exists and is not a regular file";
    case Kind::Os:
      break;
  }
  return text + os_error_text(os_errno);
}

std::optional<OpenFailure> open_output_file(const std::string& path, FileDescriptor& file) {
  if (path.find('\0') != std::string::npos) return os_failure(EINVAL);
  // Non-blocking, so that opening a FIFO or a device cannot wait for a reader; no O_TRUNC, so that nothing
  // is truncated before it is known to be a regular file.
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    if (err == ELOOP && is_symbolic_link(path)) return OpenFailure{OpenFailure::Kind::SymbolicLink, 0};
    if (err == ENXIO) return OpenFailure{OpenFailure::Kind::NotRegularFile, 0};  // a FIFO without reader
    return os_failure(err);
  }
  FileDescriptor opened(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return os_failure(errno);
  if (!S_ISREG(st.st_mode)) return OpenFailure{OpenFailure::Kind::NotRegularFile, 0};
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return os_failure(errno);
  int truncated;
  do {
    truncated = ::ftruncate(fd, 0);
  } while (truncated != 0 && errno == EINTR);
  if (truncated != 0) return os_failure(errno);
  file = std::move(opened);
  return std::nullopt;
}

std::optional<OpenFailure> ReplacingFile::create(const std::string& path, ReplacingFile& out) {
  if (path.empty()) return os_failure(ENOENT);
  if (path.find('\0') != std::string::npos) return os_failure(EINVAL);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) return OpenFailure{OpenFailure::Kind::SymbolicLink, 0};
    if (S_ISDIR(st.st_mode)) return os_failure(EISDIR);
    if (!S_ISREG(st.st_mode)) return OpenFailure{OpenFailure::Kind::NotRegularFile, 0};
  } else if (errno != ENOENT) {
    return os_failure(errno);
  }
  const std::string dir = directory_of(path);
  for (int attempt = 0;; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".pagewright-%016llx.tmp", static_cast<unsigned long long>(name_bits()));
    std::string temp = dir + name;
    int fd;
    do {
      fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      out.abandon();
      out.file_ = FileDescriptor(fd);
      out.path_ = path;
      out.temp_ = std::move(temp);
      return std::nullopt;
    }
    if (errno != EEXIST || attempt == 100) return os_failure(errno);
  }
}

int ReplacingFile::commit() {
  if (::close(file_.release()) != 0 && errno != EINTR) return errno;
  if (::rename(temp_.c_str(), path_.c_str()) != 0) return errno;
  temp_.clear();
  return 0;
}

std::string ReplacingFile::abandon() {
  file_ = FileDescriptor();
  if (temp_.empty()) return {};
  std::string kept = path_ + std::string(json::kPartialSuffix);
  if (::rename(temp_.c_str(), kept.c_str()) != 0) kept = temp_;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path_.c_str());
  temp_.clear();
  return kept;
}

int write_all(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress on a non-empty write: give up rather than spin
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

int create_directories(const std::string& path) {
  if (path.find('\0') != std::string::npos) return EINVAL;
  return create_directories_at_depth(path, 0);
}

}  // namespace pw::io
