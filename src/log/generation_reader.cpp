#include "generation_reader.hpp"

#include <algorithm>

#include "../checksum/page_checksum.hpp"
#include "log_layout.hpp"
#include "record_types.hpp"

namespace pw {
namespace {

namespace L = log_layout;
namespace T = log_layout::type;

// A segment carries the checksum a database page of the XOR-ECC form carries, its sector as the page number.
std::uint64_t segment_checksum(Bytes segment, std::uint32_t sector) noexcept {
  return xor_ecc_checksum(segment, sector, true).value_or(0);
}

bool all_zero(Bytes b) noexcept {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

}  // namespace

const char* generation_end_name(GenerationEnd end) noexcept {
  switch (end) {
    case GenerationEnd::EndOfData:
      return "end of data";
    case GenerationEnd::EndOfFile:
      return "end of file";
    case GenerationEnd::UnknownRecord:
      return "unknown record type";
    case GenerationEnd::Unsupported:
      return "unsupported log format";
    case GenerationEnd::Unreadable:
      return "file unreadable";
  }
  return "unknown";
}

GenerationReader::GenerationReader(Bytes file, const LogFileHeader& header, const std::atomic<bool>* failed)
    : file_(file), failed_(failed), generation_(header.generation) {
  if (header.major < L::kFirstSegmentedMajor || header.sector_size != L::kSegmentSize || header.header_sectors == 0) {
    end_generation(GenerationEnd::Unsupported);
    return;
  }
  first_sector_ = next_sector_ = header.header_sectors;
  // The engine never writes the last sector of a file.
  end_sector_ = header.file_sectors > 0 ? header.file_sectors - 1u : 0u;
}

void GenerationReader::end_generation(GenerationEnd why) {
  if (done_) return;
  done_ = true;
  summary_.end = why;
  if (joining_) {
    ++summary_.damage.incomplete_records;
    drop_assembly(false);
  }
}

void GenerationReader::drop_assembly(bool count) {
  if (joining_ && count) ++summary_.damage.bad_fragments;
  joining_ = false;
  assembly_.clear();
  skip_fragments_ = true;
}

// Moves to the next segment that holds records of this generation.
bool GenerationReader::load_segment() {
  while (!done_) {
    if (next_sector_ >= end_sector_) {
      end_generation(GenerationEnd::EndOfFile);
      return false;
    }
    const std::uint64_t offset = std::uint64_t{next_sector_} * L::kSegmentSize;
    if (offset > file_.size() || file_.size() - offset < L::kSegmentSize) {
      end_generation(GenerationEnd::EndOfFile);
      return false;
    }
    const std::uint32_t sector = next_sector_++;
    const Bytes segment = file_.subspan(static_cast<std::size_t>(offset), L::kSegmentSize);
    const std::uint64_t stored = read_u64le(segment, L::kSegmentChecksum).value_or(0);
    const bool intact = stored == segment_checksum(segment, sector);
    if (failed_ && failed_->load(std::memory_order_acquire)) {
      end_generation(GenerationEnd::Unreadable);
      return false;
    }
    if (!intact) {
      // Past the last write: a zero-filled segment, or the copy of the segment before it that the engine
      // writes as a marker. Anything else is a damaged segment, passed over.
      const bool shadow = sector > first_sector_ && stored == segment_checksum(segment, sector - 1);
      if (shadow || all_zero(segment)) {
        end_generation(GenerationEnd::EndOfData);
        return false;
      }
      ++summary_.damage.damaged_segments;
      summary_.damaged_segment_numbers.push_back(static_cast<std::uint16_t>(sector));
      drop_assembly(false);
      continue;
    }
    const LogPosition at = parse_log_position(segment, L::kSegmentPosition);
    const LogPosition expected{generation_, static_cast<std::uint16_t>(sector), 0};
    if (at < expected) {  // left from an earlier generation written to this file
      end_generation(GenerationEnd::EndOfData);
      return false;
    }
    if (!(at == expected)) {
      ++summary_.damage.damaged_segments;
      summary_.damaged_segment_numbers.push_back(static_cast<std::uint16_t>(sector));
      drop_assembly(false);
      continue;
    }
    segment_ = segment;
    sector_ = sector;
    pos_ = L::kSegmentHeaderSize;
    segment_time_ = parse_log_time(segment, L::kSegmentTime);
    ++summary_.segments;
    summary_.bytes += L::kSegmentSize;
    if (segment_time_) {
      if (!summary_.first_segment_time) summary_.first_segment_time = segment_time_;
      summary_.last_segment_time = segment_time_;
    }
    return true;
  }
  return false;
}

bool GenerationReader::emit(LogRecord& out, Bytes bytes, LogPosition at, bool joined) {
  out.position = at;
  out.segment_time = joined ? assembly_time_ : segment_time_;
  out.bytes = bytes;
  out.joined = joined;
  ++summary_.records;
  ++summary_.records_by_type[bytes[0]];
  summary_.last_record = at;
  return true;
}

bool GenerationReader::next(LogRecord& out) {
  while (!done_) {
    if (segment_.empty() || pos_ >= segment_.size()) {
      segment_ = {};
      if (!load_segment()) return false;
    }
    const std::uint8_t type = segment_[pos_];
    if (type == T::kNop) {
      ++pos_;
      continue;
    }
    if (type == T::kFragmentBegin) {
      fragment_begin();
    } else if (type == T::kFragment) {
      if (fragment(out)) return true;
    } else if (plain_record(out)) {
      return true;
    }
  }
  return false;
}

void GenerationReader::fragment_begin() {
  drop_assembly(true);
  skip_fragments_ = false;
  const Bytes rest = segment_.subspan(pos_);
  const auto total = read_u32le(rest, L::kFragmentBeginTotal);
  const auto size = read_u16le(rest, L::kFragmentBeginSize);
  if (!total || !size || rest.size() - L::kFragmentBeginHeader < *size || *size >= *total ||
      *total > kMaxLogRecordSize) {
    ++summary_.damage.bad_fragments;
    skip_fragments_ = true;
    pos_ = segment_.size();  // the next record starts at the next segment
    return;
  }
  joining_ = true;
  assembly_total_ = *total;
  assembly_.assign(rest.begin() + L::kFragmentBeginHeader, rest.begin() + L::kFragmentBeginHeader + *size);
  assembly_at_ = {generation_, static_cast<std::uint16_t>(sector_), static_cast<std::uint16_t>(pos_)};
  assembly_time_ = segment_time_;
  pos_ += L::kFragmentBeginHeader + *size;
}

bool GenerationReader::fragment(LogRecord& out) {
  const Bytes rest = segment_.subspan(pos_);
  const auto size = read_u16le(rest, L::kFragmentSize);
  if (!size || rest.size() - L::kFragmentHeader < *size) {
    if (joining_ || !skip_fragments_) ++summary_.damage.bad_fragments;
    drop_assembly(false);
    pos_ = segment_.size();
    return false;
  }
  pos_ += L::kFragmentHeader + *size;
  if (!joining_) {
    if (!skip_fragments_) ++summary_.damage.bad_fragments;  // a continuation of nothing
    return false;
  }
  if (*size > assembly_total_ - assembly_.size()) {
    drop_assembly(true);
    return false;
  }
  const Bytes piece = rest.subspan(L::kFragmentHeader, *size);
  assembly_.insert(assembly_.end(), piece.begin(), piece.end());
  if (assembly_.size() < assembly_total_) return false;
  joining_ = false;
  const RecordSize record = log_record_size(assembly_);
  if (record.status == RecordSizeStatus::UnknownType) {
    ++summary_.damage.unknown_records;
    summary_.unknown_record_at = assembly_at_;
    end_generation(GenerationEnd::UnknownRecord);
    return false;
  }
  if (record.status != RecordSizeStatus::Ok || record.size != assembly_total_) {
    ++summary_.damage.bad_fragments;
    skip_fragments_ = true;
    return false;
  }
  return emit(out, assembly_, assembly_at_, true);
}

bool GenerationReader::plain_record(LogRecord& out) {
  const std::uint8_t type = segment_[pos_];
  if (joining_) {
    // A record cut short at the end of a segment and followed, at the start of the next, by what recovery
    // writes first: the torn write of a dirty shutdown, not damage.
    const bool torn = pos_ == L::kSegmentHeaderSize &&
                      (type == T::kRecoveryUndo || type == T::kRecoveryUndo2 || type == T::kUndoInfo);
    if (torn) ++summary_.damage.torn_records;
    drop_assembly(!torn);
  }
  skip_fragments_ = false;
  const Bytes rest = segment_.subspan(pos_);
  const RecordSize record = log_record_size(rest);
  if (record.status == RecordSizeStatus::UnknownType) {
    ++summary_.damage.unknown_records;
    summary_.unknown_record_at = LogPosition{generation_, static_cast<std::uint16_t>(sector_),
                                             static_cast<std::uint16_t>(pos_)};
    end_generation(GenerationEnd::UnknownRecord);
    return false;
  }
  if (record.status != RecordSizeStatus::Ok || record.size > rest.size()) {
    ++summary_.damage.bad_records;
    pos_ = segment_.size();
    return false;
  }
  const LogPosition at{generation_, static_cast<std::uint16_t>(sector_), static_cast<std::uint16_t>(pos_)};
  pos_ += static_cast<std::size_t>(record.size);
  return emit(out, rest.first(static_cast<std::size_t>(record.size)), at, false);
}

}  // namespace pw
