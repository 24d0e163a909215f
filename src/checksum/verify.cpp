#include "verify.hpp"

#include "../format/file_header.hpp"

namespace pw {
namespace {

bool header_block_ok(Bytes file, std::size_t offset) {
  if (!fits(file, offset, file_header::kChecksummedEnd)) return false;
  const Bytes block = file.subspan(offset, file_header::kChecksummedEnd);
  return read_u32le(block, file_header::kSignature) == file_header::kSignatureValue &&
         read_u32le(block, file_header::kChecksum) == file_header_checksum(block);
}

}  // namespace

std::uint32_t file_page_count(Bytes file, std::uint32_t page_size) noexcept {
  if (page_size == 0) return 0;
  const std::uint64_t blocks = file.size() / page_size;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks >= 2 ? blocks - 2 : 0, UINT32_MAX));
}

VerifyReport begin_verify(Bytes file, std::uint32_t page_size) {
  VerifyReport report;
  report.page_size = page_size;
  report.header_ok = header_block_ok(file, 0);
  report.shadow_ok = header_block_ok(file, page_size);
  return report;
}

void verify_pages(Bytes file, std::uint32_t first, std::uint32_t count, std::size_t max_failures,
                  VerifyReport& report) {
  check_pages(file, report.page_size, first, count, [&](std::uint32_t pgno, Bytes, const PageCheck& check) {
    ++report.pages;
    if (check.condition == PageCondition::Uninitialized) {
      ++report.uninitialized;
      return;
    }
    ++(check.form == ChecksumForm::Xor ? report.xor_form : report.xor_ecc_form);
    if (check.condition == PageCondition::Ok) {
      ++report.ok;
      return;
    }
    ++(check.condition == PageCondition::Correctable ? report.correctable : report.mismatched);
    if (report.failures.size() < max_failures) {
      report.failures.push_back({pgno, check});
    } else {
      ++report.failures_omitted;
    }
  });
}

}  // namespace pw
