// Database: an open ESE file — the read-only mapping, the header, page geometry and the table registry.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog/parser.hpp"
#include "checksum/page_repairs.hpp"
#include "format/file_header.hpp"
#include "io/byte_source.hpp"
#include "page/page.hpp"
#include "result.hpp"
#include "utils/bytes.hpp"

namespace pw {

inline constexpr std::uint32_t kCatalogRootPage = 4;

struct OpenOptions {
  // Every page is checked at the open; a page in which the XOR-ECC checksum locates one flipped bit per block is
  // read from a corrected copy (see PageRepairs), before the catalog is read.
  bool repair_ecc = false;
};

class Database {
 public:
  static Result<std::unique_ptr<Database>> open(const std::string& path, OpenOptions options = {});
  // Maps an open file descriptor (the mapping stays valid after the caller closes it).
  static Result<std::unique_ptr<Database>> open_descriptor(int fd, OpenOptions options = {});
  // Opens a database image held in memory (fuzzing and tools; same checks as a file).
  static Result<std::unique_ptr<Database>> open_memory(std::vector<std::uint8_t> image);
  // Opens the bytes a source owns (a caller's buffer, read in place).
  static Result<std::unique_ptr<Database>> open_bytes(std::unique_ptr<ByteSource> source, OpenOptions options = {});

  // Fails, besides for a page outside the file, once the file could not be read (see source_status).
  Result<Page> read_page(std::uint32_t page_number) const;

  std::uint32_t page_size() const noexcept { return page_size_; }
  std::uint32_t total_pages() const noexcept { return total_pages_; }
  std::uint32_t format_version() const noexcept { return format_version_; }
  std::uint32_t format_revision() const noexcept { return format_revision_; }
  bool large_page_mode() const noexcept { return is_large_page_mode(format_version_, format_revision_, page_size_); }
  std::uint32_t max_child_page() const noexcept;
  const FileHeader& header() const noexcept { return header_; }
  Bytes file_bytes() const noexcept { return file_; }
  const OrderedMap<TableInfo>& tables() const noexcept { return catalog_.tables; }
  // Catalog definitions whose entries carry the deleted flag (not part of the schema).
  const std::vector<CatalogRecord>& deleted_definitions() const noexcept { return catalog_.deleted; }
  // What the catalog walk passed over, lost or renamed.
  const CatalogDamage& catalog_damage() const noexcept { return catalog_.damage; }
  // The last page the database's own space tree says it owns (the engine's size of the database), when readable.
  std::optional<std::uint32_t> stated_last_page() const noexcept { return stated_last_page_; }
  // The file holds fewer pages than the database needs: fewer than the catalog's root page, or fewer than its
  // space tree says it owns.
  bool known_truncated() const noexcept;

  // The header was read from its shadow copy (block 1) because the primary (block 0) was damaged.
  bool used_shadow_header() const noexcept { return used_shadow_header_; }
  // Whether pages were checked for repair at the open, and the pages read from corrected copies.
  bool repairs_ecc() const noexcept { return options_.repair_ecc; }
  const std::vector<PageRepair>& page_repairs() const noexcept { return repairs_.list(); }

  // An error once reading the file failed (it shrank while open, or its device failed): whatever was read
  // since may be zeros. Operations that hand out what they read check it before returning (an atomic load).
  Status source_status() const;
  bool source_failed() const noexcept { return source_failed_->load(std::memory_order_acquire); }

 private:
  Database(std::unique_ptr<ByteSource> source, OpenOptions options);
  static Result<std::unique_ptr<Database>> open_source(std::unique_ptr<ByteSource> source, OpenOptions options);
  static EseError source_error();
  Status load();

  std::unique_ptr<ByteSource> source_;
  const std::atomic<bool>* source_failed_;
  Bytes file_;
  FileHeader header_;
  std::uint32_t page_size_ = 0;
  std::uint32_t total_pages_ = 0;
  std::uint32_t format_version_ = 0;
  std::uint32_t format_revision_ = 0;
  bool used_shadow_header_ = false;
  std::optional<std::uint32_t> stated_last_page_;
  OpenOptions options_;
  PageRepairs repairs_;
  Catalog catalog_;
};

}  // namespace pw
