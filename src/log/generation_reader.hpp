// GenerationReader: the records of one log generation, segment by segment, fragments joined.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "../format/log_fields.hpp"
#include "../utils/bytes.hpp"
#include "log_header.hpp"

namespace pw {

// A record is never longer than this (the largest a real engine writes, a split with a 32 KiB page image, is far
// below): a fragment chain announcing more is damage, and its assembly buffer stays bounded.
inline constexpr std::uint32_t kMaxLogRecordSize = 1u << 20;

struct LogRecord {
  LogPosition position;  // of its first byte (for a record joined from fragments: of its FragmentBegin)
  std::optional<LogTime> segment_time;  // of the segment it starts in
  Bytes bytes;  // the whole record, type byte first; valid until the reader's next call
  bool joined = false;  // assembled from fragments
  std::uint8_t type() const noexcept { return bytes[0]; }
};

// Why a generation's records end.
enum class GenerationEnd : std::uint8_t {
  EndOfData,      // a segment that is empty, or left from an earlier use of the file
  EndOfFile,      // the last segment of the file (or the file is shorter than its header says)
  UnknownRecord,  // a record of a type whose size no engine defines: what follows cannot be found
  Unsupported,    // not a segmented log (an older log format or sector size): no records are read
  Unreadable,     // the file could not be read while open
};
const char* generation_end_name(GenerationEnd end) noexcept;

// What reading a generation met besides its records: each count is damage (except torn records).
struct GenerationDamage {
  std::uint64_t damaged_segments = 0;  // wrong checksum or position: their records are lost
  std::uint64_t bad_records = 0;       // a record running past its segment: the rest of the segment is lost
  std::uint64_t bad_fragments = 0;     // pieces of a record that do not fit together: the record is lost
  std::uint64_t unknown_records = 0;   // a record of an unknown type (it ends the generation)
  std::uint64_t incomplete_records = 0;  // a record whose pieces end with the generation
  std::uint64_t torn_records = 0;  // a record cut by the torn write of a dirty shutdown (recovery wrote over it)

  bool any() const noexcept {
    return damaged_segments || bad_records || bad_fragments || unknown_records || incomplete_records;
  }
};

struct GenerationSummary {
  std::uint32_t segments = 0;  // segments of this generation read for records
  std::vector<std::uint16_t> damaged_segment_numbers;
  std::array<std::uint64_t, 256> records_by_type{};
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;  // of the segments read
  GenerationDamage damage;
  GenerationEnd end = GenerationEnd::EndOfData;
  std::optional<LogPosition> unknown_record_at;  // where an unknown type ended the generation
  std::optional<LogTime> first_segment_time, last_segment_time;
  std::optional<LogPosition> last_record;  // the position of the last record read
};

class GenerationReader {
 public:
  // `file` holds the whole log file; `failed`, when given, is raised once reading the file failed.
  GenerationReader(Bytes file, const LogFileHeader& header, const std::atomic<bool>* failed = nullptr);

  // The next record; false once the generation has no more (summary().end says why).
  bool next(LogRecord& out);
  const GenerationSummary& summary() const noexcept { return summary_; }

 private:
  bool load_segment();
  void end_generation(GenerationEnd why);
  void drop_assembly(bool count);
  bool emit(LogRecord& out, Bytes bytes, LogPosition at, bool joined);
  void fragment_begin();
  bool fragment(LogRecord& out);
  bool plain_record(LogRecord& out);

  Bytes file_;
  const std::atomic<bool>* failed_;
  std::uint32_t generation_ = 0;
  std::uint32_t first_sector_ = 0;
  std::uint32_t next_sector_ = 0;
  std::uint32_t end_sector_ = 0;  // one past the last sector that may hold data
  Bytes segment_;
  std::uint32_t sector_ = 0;
  std::size_t pos_ = 0;
  std::optional<LogTime> segment_time_;
  bool done_ = false;
  bool skip_fragments_ = false;  // continuations of a record already lost are passed over quietly
  // A record being joined from its fragments.
  bool joining_ = false;
  std::vector<std::uint8_t> assembly_;
  std::uint32_t assembly_total_ = 0;
  LogPosition assembly_at_;
  std::optional<LogTime> assembly_time_;
  GenerationSummary summary_;
};

}  // namespace pw
