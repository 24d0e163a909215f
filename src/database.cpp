#include "database.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "catalog/parser.hpp"
#include "page/branch.hpp"

namespace pw {
namespace {

class MappedFile final : public ByteSource {
 public:
  MappedFile(void* addr, std::size_t map_len, std::size_t file_len)
      : addr_(addr), map_len_(map_len), file_len_(file_len) {}
  ~MappedFile() override { munmap(addr_, map_len_); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  Bytes bytes() const noexcept override { return {static_cast<const std::uint8_t*>(addr_), file_len_}; }

 private:
  void* addr_;
  std::size_t map_len_;
  std::size_t file_len_;
};

class MemoryImage final : public ByteSource {
 public:
  explicit MemoryImage(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
  Bytes bytes() const noexcept override { return data_; }

 private:
  std::vector<std::uint8_t> data_;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

Database::Database(std::unique_ptr<ByteSource> source) : source_(std::move(source)), file_(source_->bytes()) {}

std::uint32_t Database::max_child_page() const noexcept { return child_page_bound(total_pages_); }

Result<std::unique_ptr<Database>> Database::open(const std::string& path) {
  // O_NONBLOCK: opening a FIFO or device must not block; it has no effect on regular files.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return EseError::io(errno);
  return open_descriptor(fd.get());
}

Result<std::unique_ptr<Database>> Database::open_descriptor(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return EseError::io(errno);
  const auto file_len = static_cast<std::size_t>(st.st_size);
  const std::size_t map_len = file_len == 0 ? 1 : file_len;
  void* addr = ::mmap(nullptr, map_len, PROT_READ, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return EseError::io(errno);
  return open_source(std::make_unique<MappedFile>(addr, map_len, file_len));
}

Result<std::unique_ptr<Database>> Database::open_bytes(std::unique_ptr<ByteSource> source) {
  return open_source(std::move(source));
}

Result<std::unique_ptr<Database>> Database::open_memory(std::vector<std::uint8_t> image) {
  return open_source(std::make_unique<MemoryImage>(std::move(image)));
}

Result<std::unique_ptr<Database>> Database::open_source(std::unique_ptr<ByteSource> source) {
  const Bytes file = source->bytes();
  if (file.size() < 4096) return EseError::invalid_header();
  const std::uint32_t signature = read_u32le(file, file_header::kSignature).value_or(0);
  if (signature != kDatabaseSignature) return EseError::invalid_signature(signature);
  std::unique_ptr<Database> db(new Database(std::move(source)));
  db->header_ = parse_file_header(file).value_or(FileHeader{});
  db->format_version_ = db->header_.format_version;
  db->format_revision_ = db->header_.format_revision;
  db->page_size_ = db->header_.page_size;
  if (db->page_size_ == 0) return EseError::parse_error("Invalid page size: 0");
  const std::uint64_t blocks = file.size() / db->page_size_;
  db->total_pages_ = static_cast<std::uint32_t>(blocks >= 2 ? blocks - 2 : 0);
  if (auto status = db->parse_catalog(); !status) return std::move(status).error();
  return db;
}

Result<Page> Database::read_page(std::uint32_t page_number) const {
  const std::uint64_t offset = (static_cast<std::uint64_t>(page_number) + 1) * page_size_;
  const std::uint64_t end = offset + page_size_;
  if (end > file_.size()) return EseError::invalid_page_number(page_number);
  return Page::parse(file_.subspan(offset, page_size_), format_version_, format_revision_, page_size_);
}

Status Database::parse_catalog() {
  auto catalog = CatalogParser(*this).load(kCatalogRootPage);
  if (!catalog) return std::move(catalog).error();
  catalog_ = std::move(*catalog);
  return ok_status();
}

}  // namespace pw
