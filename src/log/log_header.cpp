#include "log_header.hpp"

#include <algorithm>

#include "../utils/text.hpp"
#include "log_layout.hpp"

namespace pw {
namespace {

namespace L = log_layout;

std::vector<AttachedDatabase> attach_list(Bytes block, std::size_t at) {
  std::vector<AttachedDatabase> out;
  if (!fits(block, at, L::kAttachListSize)) return out;
  const Bytes list = block.subspan(at, L::kAttachListSize);
  for (std::size_t pos = 0; fits(list, pos, L::kAttachNames);) {
    const std::uint8_t dbid = list[pos + L::kAttachDbid];
    if (dbid == 0) break;
    const std::size_t names_size = read_u16le(list, pos + L::kAttachNamesSize).value_or(0);
    if (!fits(list, pos + L::kAttachNames, names_size)) break;  // a damaged list ends here
    AttachedDatabase db;
    db.dbid = dbid;
    db.dbtime = read_u64le(list, pos + L::kAttachDbtime).value_or(0);
    db.attach_position = parse_log_position(list, pos + L::kAttachPosition);
    db.consistent_position = parse_log_position(list, pos + L::kAttachConsistentPosition);
    db.database_signature = parse_signature(list, pos + L::kAttachDatabaseSignature);
    db.path = attached_database_name(list.subspan(pos + L::kAttachNames, names_size),
                                     (list[pos + L::kAttachFlags] & L::kAttachUnicodeNames) != 0);
    out.push_back(std::move(db));
    pos += L::kAttachNames + names_size;
  }
  return out;
}

bool checksum_holds(Bytes block) noexcept {
  return read_u32le(block, L::kHeaderChecksum) == log_header_checksum(block);
}

}  // namespace

std::uint32_t log_header_checksum(Bytes block) noexcept {
  std::uint32_t sum = L::kHeaderChecksumSeed;
  for (std::size_t at = 4; at + 4 <= L::kHeaderSize && at + 4 <= block.size(); at += 4)
    sum ^= read_u32le(block, at).value_or(0);
  return sum;
}

std::optional<std::uint32_t> header_file_type(Bytes file) noexcept { return read_u32le(file, L::kFileType); }

std::string attached_database_name(Bytes names, bool unicode) {
  if (unicode) {
    std::size_t units = 0;
    while (fits(names, 2 * units, 2) && read_u16le(names, 2 * units).value_or(0) != 0) ++units;
    return decode_string(names.first(2 * units), kCodepageUnicode).value_or(std::string());
  }
  const auto end = std::find(names.begin(), names.end(), std::uint8_t{0});
  return decode_string(names.first(static_cast<std::size_t>(end - names.begin())), kCodepageWestern)
      .value_or(std::string());
}

std::optional<LogFileHeader> parse_log_file_header(Bytes file) {
  if (file.size() < L::kHeaderSize) return std::nullopt;
  const Bytes b = file.first(L::kHeaderSize);
  LogFileHeader h;
  h.checksum = read_u32le(b, L::kHeaderChecksum).value_or(0);
  h.checksum_ok = checksum_holds(b);
  h.file_type = read_u32le(b, L::kFileType).value_or(0);
  h.generation = read_u32le(b, L::kGeneration).value_or(0);
  h.sector_size = read_u16le(b, L::kSectorSize).value_or(0);
  h.header_sectors = read_u16le(b, L::kHeaderSectors).value_or(0);
  h.file_sectors = read_u16le(b, L::kFileSectors).value_or(0);
  const std::uint16_t page_size = read_u16le(b, L::kDatabasePageSize).value_or(0);
  h.database_page_size = page_size == 0 ? 4096 : page_size;
  h.created = parse_log_time(b, L::kCreated);
  h.previous_created = parse_log_time(b, L::kPreviousCreated);
  h.major = read_u32le(b, L::kVersionMajor).value_or(0);
  h.minor = read_u32le(b, L::kVersionMinor).value_or(0);
  h.update_major = read_u32le(b, L::kUpdateMajor).value_or(0);
  h.update_minor = read_u32le(b, L::kUpdateMinor).value_or(0);
  h.signature = parse_signature(b, L::kLogSignature);
  h.flags = read_u8(b, L::kLogFlags).value_or(0);
  h.checkpoint = parse_log_position(b, L::kCheckpointAtCreation);
  h.attached = attach_list(b, L::kLogAttachList);
  return h;
}

std::optional<CheckpointHeader> parse_checkpoint_header(Bytes file) {
  if (file.size() < L::kHeaderSize) return std::nullopt;
  Bytes b = file.first(L::kHeaderSize);
  CheckpointHeader h;
  if (!checksum_holds(b) && fits(file, L::kHeaderSize, L::kHeaderSize) &&
      checksum_holds(file.subspan(L::kHeaderSize, L::kHeaderSize))) {
    b = file.subspan(L::kHeaderSize, L::kHeaderSize);
    h.shadow = true;
  }
  h.checksum = read_u32le(b, L::kHeaderChecksum).value_or(0);
  h.checksum_ok = checksum_holds(b);
  h.file_type = read_u32le(b, L::kFileType).value_or(0);
  h.checkpoint = parse_log_position(b, L::kCheckpointPosition);
  h.consistent_position = parse_log_position(b, L::kCheckpointConsistentPosition);
  h.signature = parse_signature(b, L::kCheckpointSignature);
  if (read_u8(b, L::kCheckpointVersion).value_or(0) & L::kCheckpointHasAttachList)
    h.attached = attach_list(b, L::kCheckpointAttachList);
  return h;
}

}  // namespace pw
