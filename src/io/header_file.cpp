#include "header_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "file_descriptor.hpp"

namespace pw {
namespace {

// Enough for the primary and a shadow behind the largest page.
constexpr std::size_t kHeaderSpan = 32768 + file_header::kChecksummedEnd;

}  // namespace

Result<HeaderRead> read_header_file(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return EseError::io(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return EseError::io(errno);
  std::vector<std::uint8_t> bytes(kHeaderSpan);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return EseError::io(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  if (done < file_header::kChecksummedEnd) return EseError::invalid_header();
  const HeaderBlock block = choose_header(bytes);
  auto header = parse_file_header(block.bytes);
  if (!header) return EseError::invalid_header();
  if (header->signature != file_header::kSignatureValue) return EseError::invalid_signature(header->signature);
  return HeaderRead{*header, block.shadow, static_cast<std::uint64_t>(st.st_size)};
}

}  // namespace pw
