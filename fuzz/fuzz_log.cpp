// Fuzz target: the transaction-log reader. Byte 0 chooses the form of the rest:
//   bit 0 clear: the rest is the record area of consecutive segments (4 056 bytes each); the target writes the
//     log header (generation 5) and each segment's header and checksum around them, so mutations reach the
//     records, fragments and their fields. Bit 1 then leaves segment byte[1] % count with a wrong checksum.
//   bit 0 set: the rest is a whole log file as it is (header, checksums and all), also read as a checkpoint.
// Every record goes through the field decoders, the change journal (every object id below 64 kept) and, for
// differences, through apply_replace_diff against the record's own first bytes as the before image.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_set>
#include <vector>

#include "checksum/page_checksum.hpp"
#include "fuzz_checks.hpp"
#include "journal/change_journal.hpp"
#include "journal/replace_diff.hpp"
#include "log/generation_reader.hpp"
#include "log/log_header.hpp"
#include "log/log_layout.hpp"
#include "log/log_set.hpp"
#include "log/record_fields.hpp"
#include "log/record_types.hpp"

namespace {

namespace L = pw::log_layout;
constexpr std::size_t kPayload = L::kSegmentSize - L::kSegmentHeaderSize;

void put_u16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
void put_u32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }
void put_u64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) { std::memcpy(&b[at], &v, 8); }

// A generation-5 log file around segment record areas.
std::vector<std::uint8_t> framed(const std::uint8_t* data, std::size_t size, bool damage, std::uint8_t which) {
  const std::size_t segments = size / kPayload + 1;
  std::vector<std::uint8_t> file((segments + 2) * L::kSegmentSize, 0);
  put_u32(file, L::kGeneration, 5);
  put_u16(file, L::kSectorSize, L::kSegmentSize);
  put_u16(file, L::kHeaderSectors, 1);
  put_u16(file, L::kFileSectors, static_cast<std::uint16_t>(segments + 2));
  put_u32(file, L::kVersionMajor, 8);
  put_u32(file, L::kVersionMinor, 4000);
  put_u32(file, L::kFileType, L::kFileTypeLog);
  put_u32(file, L::kHeaderChecksum, pw::log_header_checksum(file));
  for (std::size_t k = 0; k < segments; ++k) {
    const std::size_t at = (k + 1) * L::kSegmentSize;
    const std::size_t from = k * kPayload;
    if (from < size) std::memcpy(&file[at + L::kSegmentHeaderSize], data + from, std::min(kPayload, size - from));
    put_u16(file, at + L::kSegmentPosition + 2, static_cast<std::uint16_t>(k + 1));
    put_u32(file, at + L::kSegmentPosition + 4, 5);
    put_u32(file, at + L::kSegmentFlags, 0x2000);
    const pw::Bytes segment(&file[at], L::kSegmentSize);
    const std::uint64_t sum = pw::xor_ecc_checksum(segment, static_cast<std::uint32_t>(k + 1), true).value_or(0);
    put_u64(file, at + L::kSegmentChecksum, damage && k == which % segments ? ~sum : sum);
  }
  return file;
}

void read_generation(pw::Bytes file) {
  const auto header = pw::parse_log_file_header(file);
  if (!header) return;
  (void)pw::parse_checkpoint_header(file);
  std::unordered_set<std::uint32_t> ids;
  for (std::uint32_t id = 0; id < 64; ++id) ids.insert(id);
  std::size_t changes = 0;
  pw::ChangeJournal journal(nullptr, std::move(ids), [&](pw::LogChange&& c) {
    pwfuzz::require(c.data.size() <= pw::kMaxLogRecordSize, "journal image larger than a record");
    ++changes;
  });
  pw::GenerationReader reader(file, *header);
  pw::LogRecord record;
  std::uint64_t records = 0;
  std::optional<pw::LogPosition> last;
  while (reader.next(record)) {
    ++records;
    pwfuzz::require(!record.bytes.empty() && record.bytes.size() <= pw::kMaxLogRecordSize, "record size");
    const pw::RecordSize size = pw::log_record_size(record.bytes);
    pwfuzz::require(size.status == pw::RecordSizeStatus::Ok && size.size == record.bytes.size(),
                    "record bytes disagree with its size");
    pwfuzz::require(!last || *last < record.position, "record positions do not rise");
    last = record.position;
    (void)pw::page_record_fields(record.bytes);
    (void)pw::transaction_fields(record.bytes);
    (void)pw::attached_database(record);
    if (const auto image = pw::node_image(record.bytes); image && image->kind == pw::NodeImageKind::Diff) {
      const pw::Bytes before = record.bytes.first(std::min<std::size_t>(record.bytes.size(), 200));
      if (auto after = pw::apply_replace_diff(before, image->data, image->second_diff_form, 4096))
        pwfuzz::require(after->size() <= 4096, "difference grew past its bound");
    }
    journal.feed(record);
  }
  journal.finish();
  // Every record takes at least a byte of a segment; every segment is read once.
  pwfuzz::require(records <= file.size(), "more records than bytes");
  pwfuzz::require(reader.summary().segments <= file.size() / L::kSegmentSize, "more segments than the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  if (mode & 1) {
    std::vector<std::uint8_t> file(data + 1, data + size);
    if (file.size() < L::kHeaderSize) file.resize(L::kHeaderSize, 0);
    read_generation(file);
    return 0;
  }
  const std::uint8_t which = size > 1 ? data[1] : 0;
  const std::vector<std::uint8_t> file = framed(data + 1, size - 1, (mode & 2) != 0, which);
  read_generation(file);
  return 0;
}
