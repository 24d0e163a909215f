#include "database.hpp"

#include "catalog/file_extent.hpp"
#include "catalog/parser.hpp"
#include "checksum/verify.hpp"
#include "io/mapped_file.hpp"
#include "page/branch.hpp"

namespace pw {

Database::Database(std::unique_ptr<ByteSource> source, OpenOptions options)
    : source_(std::move(source)), source_failed_(&source_->read_failed()), file_(source_->bytes()), options_(options) {}

std::uint32_t Database::max_child_page() const noexcept { return child_page_bound(total_pages_); }

Result<std::unique_ptr<Database>> Database::open(const std::string& path, OpenOptions options) {
  auto source = open_file_source(path);
  if (!source) return std::move(source).error();
  return open_source(std::move(source).value(), options);
}

Result<std::unique_ptr<Database>> Database::open_descriptor(int fd, OpenOptions options) {
  auto source = open_descriptor_source(fd);
  if (!source) return std::move(source).error();
  return open_source(std::move(source).value(), options);
}

Result<std::unique_ptr<Database>> Database::open_bytes(std::unique_ptr<ByteSource> source, OpenOptions options) {
  return open_source(std::move(source), options);
}

Result<std::unique_ptr<Database>> Database::open_memory(std::vector<std::uint8_t> image) {
  return open_source(std::make_unique<MemoryImage>(std::move(image)), {});
}

Result<std::unique_ptr<Database>> Database::open_source(std::unique_ptr<ByteSource> source, OpenOptions options) {
  std::unique_ptr<Database> db(new Database(std::move(source), options));
  const Status loaded = db->load();
  // A file that shrank during the open reads as zeros past its new end: report that, not what the zeros gave.
  if (db->source_failed()) return source_error();
  if (!loaded) return loaded.error();
  return db;
}

Status Database::load() {
  if (file_.size() < file_header::kChecksummedEnd) return EseError::invalid_header();
  const HeaderBlock block = choose_header(file_);
  header_ = parse_file_header(block.bytes).value_or(FileHeader{});
  if (header_.signature != file_header::kSignatureValue) return EseError::invalid_signature(header_.signature);
  used_shadow_header_ = block.shadow;
  format_version_ = header_.format_version;
  format_revision_ = header_.format_revision;
  page_size_ = header_.page_size;
  if (page_size_ == 0) return EseError::parse_error("Invalid page size: 0");
  total_pages_ = file_page_count(file_, page_size_);
  if (options_.repair_ecc) repairs_ = PageRepairs::find(file_, page_size_);
  stated_last_page_ = last_owned_page(*this, kDatabaseRootPage);
  auto catalog = CatalogParser(*this).load(kCatalogRootPage);
  if (!catalog) return std::move(catalog).error();
  catalog_ = std::move(*catalog);
  return ok_status();
}

bool Database::known_truncated() const noexcept {
  return total_pages_ < kCatalogRootPage || (stated_last_page_ && *stated_last_page_ > total_pages_);
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
  if (end > file_.size()) {
    // Past the end of a file that is cut short: say so, unless the number lies past what the database owns
    // too (a damaged link, not a missing page).
    if (known_truncated() && (!stated_last_page_ || page_number <= *stated_last_page_))
      return EseError::page_past_truncated_end(page_number, total_pages_);
    return EseError::invalid_page_number(page_number);
  }
  const auto* repaired = repairs_.find_page(page_number);
  const Bytes bytes = repaired ? Bytes(*repaired) : file_.subspan(offset, page_size_);
  auto page = Page::parse(bytes, format_version_, format_revision_, page_size_);
  // A page header past the file's new end read as zeros. The rest of the page is read by the caller, which
  // checks source_status itself (probing the page's far end here too slows the carving loop measurably).
  if (source_failed()) return source_error();
  return page;
}

}  // namespace pw
