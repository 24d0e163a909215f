// LogSet: the transaction logs of one log stream as found in directories and files — its generations in order,
// its checkpoint, the databases it attached — and the reading of all its records in log order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../io/byte_source.hpp"
#include "../result.hpp"
#include "generation_reader.hpp"
#include "log_header.hpp"

namespace pw {

enum class LogFileKind : std::uint8_t {
  Log,         // a log generation (file type 3)
  Checkpoint,  // file type 4
  Unused,      // a log file not yet written (reserve logs, the prepared next log): its header is all zeros
  Other,       // named on its own but not a log file; the error says what it is
};
const char* log_file_kind_name(LogFileKind kind) noexcept;

struct LogFile {
  std::string path;
  LogFileKind kind = LogFileKind::Other;
  std::uint64_t size = 0;
  std::optional<LogFileHeader> log;
  std::optional<CheckpointHeader> checkpoint;
  std::string note;  // why the file is not read, or what is odd about it (empty when nothing is)
};

struct Generation {
  std::uint32_t number = 0;
  std::size_t file = 0;  // index in LogSet::files()
  GenerationSummary summary;
  bool signature_matches = true;  // the log signature of the set (see LogSet::signature)
};

class LogSet {
 public:
  // Each path is a directory (the log files in it; subdirectories and symbolic links are not followed) or a
  // file. Fails only when a path cannot be read at all. Reads every record once for the summaries.
  static Result<LogSet> open(const std::vector<std::string>& paths);

  const std::vector<LogFile>& files() const noexcept { return files_; }
  // One per generation number, ascending; a second file claiming a generation is noted, not read.
  const std::vector<Generation>& generations() const noexcept { return generations_; }
  // The checkpoint file, if one was found.
  const LogFile* checkpoint() const noexcept;
  // The log signature of the stream: the checkpoint's when there is one, else the newest generation's.
  std::optional<LogSignature> signature() const;
  // Generation numbers absent between the lowest and the highest present (at most `limit` listed).
  std::vector<std::uint32_t> missing_generations(std::size_t limit = 1000) const;
  std::uint64_t missing_generation_count() const noexcept;
  // Databases named by the headers' attach lists and by CreateDB and AttachDB records, each once.
  const std::vector<AttachedDatabase>& databases() const noexcept { return databases_; }
  // The generation with that number, if present.
  const Generation* generation(std::uint32_t number) const noexcept;

 private:
  Status scan();
  void add_database(AttachedDatabase db);

  std::vector<LogFile> files_;
  std::vector<Generation> generations_;
  std::vector<AttachedDatabase> databases_;
};

// Reads the records of every generation of a set in generation order, one mapped file at a time.
class LogSetReader {
 public:
  explicit LogSetReader(const LogSet& set) : set_(&set) {}

  // The next record (valid until the next call); false at the end of the last generation, or with an error
  // once a file cannot be opened or read (the records before it were given).
  Result<bool> next(LogRecord& out);
  // The generation of the record given last.
  const Generation& generation() const noexcept { return set_->generations()[index_ - 1]; }
  // What reading each generation read to its end met, in generation order.
  const std::vector<GenerationSummary>& summaries() const noexcept { return summaries_; }

 private:
  const LogSet* set_;
  std::size_t index_ = 0;  // the generation being read is index_ - 1
  std::unique_ptr<ByteSource> source_;
  std::optional<GenerationReader> reader_;
  std::vector<GenerationSummary> summaries_;
};

// The database a CreateDB or AttachDB record names; nothing for other records.
std::optional<AttachedDatabase> attached_database(const LogRecord& record);

}  // namespace pw
