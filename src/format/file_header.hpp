// The database file header (block 0; block 1 is its shadow copy): field offsets and the fields a reader uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "../utils/bytes.hpp"
#include "log_fields.hpp"

namespace pw {

namespace file_header {
inline constexpr std::size_t kChecksum = 0;             // u32: XOR of the u32 words of [8, 4096), from 0
inline constexpr std::size_t kSignature = 4;            // u32 0x89ABCDEF
inline constexpr std::size_t kFormatVersion = 8;        // u32
inline constexpr std::size_t kFileType = 12;            // u32: 0 database, 1 streaming file
inline constexpr std::size_t kDatabaseTime = 16;        // u64
inline constexpr std::size_t kDatabaseSignature = 24;   // signature of the database (its creation time at 28)
inline constexpr std::size_t kCreationTime = 28;        // log time, part of the database signature
inline constexpr std::size_t kState = 52;               // u32
inline constexpr std::size_t kConsistentPosition = 56;  // log position
inline constexpr std::size_t kConsistentTime = 64;      // log time
inline constexpr std::size_t kAttachTime = 72;          // log time
inline constexpr std::size_t kAttachPosition = 80;      // log position
inline constexpr std::size_t kDetachTime = 88;          // log time
inline constexpr std::size_t kDetachPosition = 96;      // log position
inline constexpr std::size_t kLogSignature = 108;       // signature of the log stream the database writes to
inline constexpr std::size_t kOsVersion = 216;          // 4 × u32: major, minor, build, service pack
inline constexpr std::size_t kFormatRevision = 232;     // u32
inline constexpr std::size_t kPageSize = 236;           // u32
// Generations of the logs that recovery needs: from the checkpoint's (min) to the newest one whose changes the
// database may already hold (max); the last generation that carried changes for it; the lowest that brings it
// to a clean state.
inline constexpr std::size_t kGenMinRequired = 296;    // u32
inline constexpr std::size_t kGenMaxRequired = 300;    // u32
inline constexpr std::size_t kGenMaxCommitted = 416;   // u32
inline constexpr std::size_t kGenMinConsistent = 640;  // u32
inline constexpr std::size_t kUpdateMinor = 644;       // u32: format update minor (the major is at 232)
inline constexpr std::size_t kChecksummedEnd = 4096;
inline constexpr std::uint32_t kSignatureValue = 0x89ABCDEF;
}  // namespace file_header

struct FileHeader {
  std::uint32_t checksum = 0;
  bool checksum_ok = false;
  std::uint32_t signature = 0;
  std::uint32_t format_version = 0;
  std::uint32_t format_revision = 0;
  std::uint32_t file_type = 0;
  std::uint32_t page_size = 0;
  std::uint32_t state = 0;
  std::uint64_t database_time = 0;
  std::optional<LogTime> creation_time, consistent_time, attach_time, detach_time;  // nothing when all zero
  LogPosition consistent_position, attach_position, detach_position;
  std::array<std::uint32_t, 4> os_version{};  // major, minor, build, service pack
  LogSignature database_signature, log_signature;
  std::uint32_t gen_min_required = 0, gen_max_required = 0, gen_max_committed = 0, gen_min_consistent = 0;
  std::uint32_t update_minor = 0;
};

// The fields of a header block (needs 4096 bytes; nothing for a shorter block).
std::optional<FileHeader> parse_file_header(Bytes block) noexcept;
// The checksum a header block should carry.
std::uint32_t file_header_checksum(Bytes block) noexcept;
// The header block a reader uses: block 0, or its shadow copy in block 1 when block 0 is damaged.
struct HeaderBlock {
  Bytes bytes;  // kChecksummedEnd bytes
  bool shadow = false;
};

// The primary header (the file must hold its kChecksummedEnd bytes), unless its checksum is wrong or its page
// size is none of 4, 8, 16 and 32 KiB and the file holds an intact shadow: a block at the offset of its own
// page size with the signature, a right checksum and that page size.
HeaderBlock choose_header(Bytes file) noexcept;

// "just created", "dirty shutdown", "clean shutdown", "being converted", "force detach", "incremental reseed",
// "dirty and patched shutdown", "revert in progress", or "unknown".
const char* database_state_name(std::uint32_t state) noexcept;

}  // namespace pw
