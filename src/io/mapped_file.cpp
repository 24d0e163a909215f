#include "mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "fault_guard.hpp"
#include "file_descriptor.hpp"

namespace pw {
namespace {

class MappedFile final : public ByteSource {
 public:
  MappedFile(void* addr, std::size_t map_len, std::size_t file_len, FaultGuard guard)
      : addr_(addr), map_len_(map_len), file_len_(file_len), guard_(std::move(guard)) {}
  ~MappedFile() override {
    guard_.reset();  // before the unmap: the address range may be handed out again at once
    munmap(addr_, map_len_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  Bytes bytes() const noexcept override { return {static_cast<const std::uint8_t*>(addr_), file_len_}; }
  const std::atomic<bool>& read_failed() const noexcept override { return guard_->faulted(); }

 private:
  void* addr_;
  std::size_t map_len_;
  std::size_t file_len_;
  std::optional<FaultGuard> guard_;
};

// The whole file by pread; a file that shrank meanwhile gives what it still holds.
Result<std::unique_ptr<ByteSource>> read_into_memory(int fd, std::size_t file_len) {
  std::vector<std::uint8_t> data(file_len);
  std::size_t done = 0;
  while (done < file_len) {
    const ssize_t n = ::pread(fd, data.data() + done, file_len - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return EseError::io(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  data.resize(done);
  return std::unique_ptr<ByteSource>(std::make_unique<MemoryImage>(std::move(data)));
}

}  // namespace

Result<std::unique_ptr<ByteSource>> open_file_source(const std::string& path) {
  // O_NONBLOCK: opening a FIFO or device must not block; it has no effect on regular files.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return EseError::io(errno);
  return open_descriptor_source(fd.get());
}

Result<std::unique_ptr<ByteSource>> open_descriptor_source(int descriptor) {
  struct stat st {};
  if (::fstat(descriptor, &st) != 0) return EseError::io(errno);
  if (S_ISDIR(st.st_mode)) return EseError::io(EISDIR);  // mapping it would say "No such device"
  const auto file_len = static_cast<std::size_t>(st.st_size);
  const std::size_t map_len = file_len == 0 ? 1 : file_len;
  void* addr = ::mmap(nullptr, map_len, PROT_READ, MAP_SHARED, descriptor, 0);
  if (addr == MAP_FAILED) return EseError::io(errno);
  auto guard = FaultGuard::claim(addr, map_len);
  if (!guard) {
    munmap(addr, map_len);
    return read_into_memory(descriptor, file_len);
  }
  return std::unique_ptr<ByteSource>(std::make_unique<MappedFile>(addr, map_len, file_len, std::move(*guard)));
}

}  // namespace pw
