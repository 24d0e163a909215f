#include "file_header.hpp"

#include <algorithm>

namespace pw {
namespace {

constexpr std::uint32_t kStandardPageSizes[] = {4096, 8192, 16384, 32768};

bool standard_page_size(std::uint32_t size) noexcept {
  for (const std::uint32_t standard : kStandardPageSizes) {
    if (size == standard) return true;
  }
  return false;
}

bool checksum_matches(Bytes block) noexcept {
  return read_u32le(block, file_header::kChecksum) == file_header_checksum(block);
}

}  // namespace

HeaderBlock choose_header(Bytes file) noexcept {
  namespace F = file_header;
  const Bytes primary = file.first(std::min<std::size_t>(file.size(), F::kChecksummedEnd));
  if (checksum_matches(primary) && standard_page_size(read_u32le(primary, F::kPageSize).value_or(0))) {
    return {primary, false};
  }
  for (const std::uint32_t page_size : kStandardPageSizes) {
    if (!fits(file, page_size, F::kChecksummedEnd)) break;
    const Bytes shadow = file.subspan(page_size, F::kChecksummedEnd);
    if (read_u32le(shadow, F::kSignature) == F::kSignatureValue && checksum_matches(shadow) &&
        read_u32le(shadow, F::kPageSize) == page_size) {
      return {shadow, true};
    }
  }
  return {primary, false};
}

std::uint32_t file_header_checksum(Bytes block) noexcept {
  std::uint32_t sum = 0;
  for (std::size_t at = 8; at + 4 <= file_header::kChecksummedEnd && at + 4 <= block.size(); at += 4)
    sum ^= read_u32le(block, at).value_or(0);
  return sum;
}

std::optional<FileHeader> parse_file_header(Bytes b) noexcept {
  namespace F = file_header;
  if (b.size() < F::kChecksummedEnd) return std::nullopt;
  FileHeader h;
  h.checksum = read_u32le(b, F::kChecksum).value_or(0);
  h.checksum_ok = h.checksum == file_header_checksum(b);
  h.signature = read_u32le(b, F::kSignature).value_or(0);
  h.format_version = read_u32le(b, F::kFormatVersion).value_or(0);
  h.file_type = read_u32le(b, F::kFileType).value_or(0);
  h.database_time = read_u64le(b, F::kDatabaseTime).value_or(0);
  h.state = read_u32le(b, F::kState).value_or(0);
  h.creation_time = parse_log_time(b, F::kCreationTime);
  h.consistent_time = parse_log_time(b, F::kConsistentTime);
  h.attach_time = parse_log_time(b, F::kAttachTime);
  h.detach_time = parse_log_time(b, F::kDetachTime);
  h.consistent_position = parse_log_position(b, F::kConsistentPosition);
  h.attach_position = parse_log_position(b, F::kAttachPosition);
  h.detach_position = parse_log_position(b, F::kDetachPosition);
  for (std::size_t k = 0; k < 4; ++k) h.os_version[k] = read_u32le(b, F::kOsVersion + 4 * k).value_or(0);
  h.format_revision = read_u32le(b, F::kFormatRevision).value_or(0);
  h.page_size = read_u32le(b, F::kPageSize).value_or(0);
  h.database_signature = parse_signature(b, F::kDatabaseSignature);
  h.log_signature = parse_signature(b, F::kLogSignature);
  h.gen_min_required = read_u32le(b, F::kGenMinRequired).value_or(0);
  h.gen_max_required = read_u32le(b, F::kGenMaxRequired).value_or(0);
  h.gen_max_committed = read_u32le(b, F::kGenMaxCommitted).value_or(0);
  h.gen_min_consistent = read_u32le(b, F::kGenMinConsistent).value_or(0);
  h.update_minor = read_u32le(b, F::kUpdateMinor).value_or(0);
  return h;
}

const char* database_state_name(std::uint32_t state) noexcept {
  switch (state) {
    case 1:
      return "just created";
    case 2:
      return "dirty shutdown";
    case 3:
      return "clean shutdown";
    case 4:
      return "being converted";
    case 5:
      return "force detach";
    case 6:
      return "incremental reseed";
    case 7:
      return "dirty and patched shutdown";
    case 8:
      return "revert in progress";
    default:
      return "unknown";
  }
}

}  // namespace pw
