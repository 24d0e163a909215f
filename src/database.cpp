#include "database.hpp"

#include <algorithm>

#include "catalog/parser.hpp"
#include "file_header.hpp"
#include "io/mapped_file.hpp"
#include "page/branch.hpp"

namespace pw {

Database::Database(std::unique_ptr<ByteSource> source)
    : source_(std::move(source)), source_failed_(&source_->read_failed()), file_(source_->bytes()) {}

std::uint32_t Database::max_child_page() const noexcept { return child_page_bound(total_pages_); }

Result<std::unique_ptr<Database>> Database::open(const std::string& path) {
  auto source = open_file_source(path);
  if (!source) return std::move(source).error();
  return open_source(std::move(source).value());
}

Result<std::unique_ptr<Database>> Database::open_memory(std::vector<std::uint8_t> image) {
  return open_source(std::make_unique<MemoryImage>(std::move(image)));
}

Result<std::unique_ptr<Database>> Database::open_source(std::unique_ptr<ByteSource> source) {
  std::unique_ptr<Database> db(new Database(std::move(source)));
  const Status loaded = db->load();
  // A file that shrank during the open reads as zeros past its new end: report that, not what the zeros gave.
  if (db->source_failed()) return source_error();
  if (!loaded) return loaded.error();
  return db;
}

Status Database::load() {
  if (file_.size() < kHeaderBlockSize) return EseError::invalid_header();
  const HeaderBlock header = choose_header(file_);
  const std::uint32_t signature = *read_u32le(header.bytes, 4);
  if (signature != kDatabaseSignature) return EseError::invalid_signature(signature);
  std::copy_n(header.bytes.begin(), kHeaderCopySize, header_.begin());
  used_shadow_header_ = header.shadow;
  format_version_ = *read_u32le(header.bytes, 8);
  format_revision_ = *read_u32le(header.bytes, 232);
  page_size_ = *read_u32le(header.bytes, 236);
  if (page_size_ == 0) return EseError::parse_error("Invalid page size: 0");
  const std::uint64_t blocks = file_.size() / page_size_;
  total_pages_ = static_cast<std::uint32_t>(blocks >= 2 ? blocks - 2 : 0);
  return parse_catalog();
}

EseError Database::source_error() {
  return EseError::parse_error("the database file shrank or could not be read while open");
}

Status Database::source_status() const {
  if (source_failed()) return source_error();
  return ok_status();
}

Result<Page> Database::read_page(std::uint32_t page_number) const {
  const std::uint64_t offset = (static_cast<std::uint64_t>(page_number) + 1) * page_size_;
  const std::uint64_t end = offset + page_size_;
  if (end > file_.size()) return EseError::invalid_page_number(page_number);
  auto page = Page::parse(file_.subspan(offset, page_size_), format_version_, format_revision_, page_size_);
  // A page header past the file's new end read as zeros. The rest of the page is read by the caller, which
  // checks source_status itself (probing the page's far end here too slows the carving loop measurably).
  if (source_failed()) return source_error();
  return page;
}

Status Database::parse_catalog() {
  CatalogParser parser(*this);
  return parser.load(kCatalogRootPage, tables_);
}

}  // namespace pw
