// The headers of a log generation and of the checkpoint file, and the attach lists they may carry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../format/log_fields.hpp"
#include "../utils/bytes.hpp"

namespace pw {

// A database the log stream had attached (from a header's attach list or an AttachDB/CreateDB record).
struct AttachedDatabase {
  std::uint8_t dbid = 0;
  std::string path;  // UTF-8 (malformed UTF-16 replaced)
  LogSignature database_signature;
  LogSignature log_signature;  // AttachDB records only
  LogPosition attach_position, consistent_position;
  std::uint64_t dbtime = 0;  // attach lists only
};

struct LogFileHeader {
  std::uint32_t checksum = 0;
  bool checksum_ok = false;
  std::uint32_t file_type = 0;
  std::uint32_t generation = 0;
  std::uint16_t sector_size = 0, header_sectors = 0, file_sectors = 0;
  std::uint32_t database_page_size = 0;
  std::optional<LogTime> created, previous_created;
  std::uint32_t major = 0, minor = 0, update_major = 0, update_minor = 0;
  LogSignature signature;
  std::uint8_t flags = 0;
  LogPosition checkpoint;  // the checkpoint when the generation was created
  std::vector<AttachedDatabase> attached;
};

struct CheckpointHeader {
  std::uint32_t checksum = 0;
  bool checksum_ok = false;
  bool shadow = false;  // read from the shadow copy (the second 4 096 bytes): the first is damaged
  std::uint32_t file_type = 0;
  LogPosition checkpoint, consistent_position;
  LogSignature signature;
  std::vector<AttachedDatabase> attached;
};

// The checksum a log or checkpoint header block should carry.
std::uint32_t log_header_checksum(Bytes block) noexcept;
// The file type word of any ESE header (database 1, log 3, checkpoint 4); nothing for a file shorter than it.
std::optional<std::uint32_t> header_file_type(Bytes file) noexcept;
// Nothing for a file shorter than a header block.
std::optional<LogFileHeader> parse_log_file_header(Bytes file);
// The first header block whose checksum holds (the primary, else its shadow), else the primary as it is.
std::optional<CheckpointHeader> parse_checkpoint_header(Bytes file);

// Names of an attach list, AttachDB or CreateDB record: UTF-16LE or 8-bit text, NUL-terminated.
std::string attached_database_name(Bytes names, bool unicode);

}  // namespace pw
