#include "log_set.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>

#include "../io/mapped_file.hpp"
#include "log_layout.hpp"

namespace pw {
namespace {

namespace L = log_layout;
namespace fs = std::filesystem;

bool zero_header(Bytes file) noexcept {
  const Bytes head = file.first(std::min(file.size(), L::kHeaderSize));
  return std::all_of(head.begin(), head.end(), [](std::uint8_t b) { return b == 0; });
}

bool named_like_a_log(const std::string& path) {
  const std::string ext = fs::path(path).extension().string();
  return ext == ".log" || ext == ".jrs" || ext == ".jtx" || ext == ".chk";
}

// Reads what a file is from its header. `named` files are listed whatever they hold; files found in a
// directory only when they are log files.
std::optional<LogFile> inspect(const std::string& path, bool named) {
  LogFile f;
  f.path = path;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    f.note = os_error_text(errno);
    return named ? std::optional<LogFile>(f) : std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    f.note = "not a regular file";
    return named ? std::optional<LogFile>(f) : std::nullopt;
  }
  f.size = static_cast<std::uint64_t>(st.st_size);
  auto source = open_file_source(path);
  if (!source) {
    f.note = source.error().to_string();
    return named ? std::optional<LogFile>(f) : std::nullopt;
  }
  const Bytes bytes = (*source)->bytes();
  const std::uint32_t type = header_file_type(bytes).value_or(0);
  if ((*source)->read_failed().load(std::memory_order_acquire)) {
    f.note = "the file could not be read";
    return named ? std::optional<LogFile>(f) : std::nullopt;
  }
  if (bytes.size() >= L::kHeaderSize && type == L::kFileTypeLog) {
    f.kind = LogFileKind::Log;
    f.log = parse_log_file_header(bytes);
    if (!f.log->checksum_ok) f.note = "the header checksum does not match";
  } else if (bytes.size() >= L::kHeaderSize && type == L::kFileTypeCheckpoint) {
    f.kind = LogFileKind::Checkpoint;
    f.checkpoint = parse_checkpoint_header(bytes);
    if (!f.checkpoint->checksum_ok) f.note = "the header checksum does not match";
  } else if (bytes.size() >= L::kHeaderSize && zero_header(bytes) && named_like_a_log(path)) {
    f.kind = LogFileKind::Unused;
  } else if (named) {
    f.note = bytes.size() < L::kHeaderSize ? "too short for a log header"
             : type == L::kFileTypeDatabase ? "a database, not a log file"
                                            : "not a log file";
  } else {
    return std::nullopt;
  }
  return f;
}

}  // namespace

const char* log_file_kind_name(LogFileKind kind) noexcept {
  switch (kind) {
    case LogFileKind::Log:
      return "log";
    case LogFileKind::Checkpoint:
      return "checkpoint";
    case LogFileKind::Unused:
      return "unused";
    case LogFileKind::Other:
      return "other";
  }
  return "other";
}

Result<LogSet> LogSet::open(const std::vector<std::string>& paths) {
  LogSet set;
  std::set<std::string> seen;  // a file reached by two paths is read once
  const auto add = [&](const std::string& path, bool named) {
    std::error_code ec;
    const fs::path canonical = fs::weakly_canonical(path, ec);
    if (!seen.insert(ec ? path : canonical.string()).second) return;
    if (auto f = inspect(path, named)) set.files_.push_back(std::move(*f));
  };
  for (const std::string& path : paths) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec) return EseError::parse_error(path + ": " + os_error_text(ec.value() ? ec.value() : ENOENT));
    if (!fs::is_directory(status)) {
      add(path, true);
      continue;
    }
    std::vector<std::string> names;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
      names.push_back(it->path().string());
    if (ec) return EseError::parse_error(path + ": " + os_error_text(ec.value()));
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) add(name, false);
  }
  // One file per generation: the first with an intact header (then in path order); others are noted.
  std::vector<std::size_t> logs;
  for (std::size_t k = 0; k < set.files_.size(); ++k) {
    if (set.files_[k].kind == LogFileKind::Log) logs.push_back(k);
  }
  std::stable_sort(logs.begin(), logs.end(), [&](std::size_t a, std::size_t b) {
    const LogFileHeader& x = *set.files_[a].log;
    const LogFileHeader& y = *set.files_[b].log;
    if (x.generation != y.generation) return x.generation < y.generation;
    return x.checksum_ok > y.checksum_ok;
  });
  for (const std::size_t k : logs) {
    const std::uint32_t number = set.files_[k].log->generation;
    if (!set.generations_.empty() && set.generations_.back().number == number) {
      set.files_[k].note = "generation " + std::to_string(number) + " is also in " +
                           set.files_[set.generations_.back().file].path + " (this copy is not read)";
      continue;
    }
    set.generations_.push_back(Generation{number, k, {}, true});
  }
  if (auto status = set.scan(); !status) return std::move(status).error();
  return set;
}

Status LogSet::scan() {
  const std::optional<LogSignature> stream = signature();
  for (const LogFile& f : files_) {
    const auto& attached = f.log ? f.log->attached : f.checkpoint ? f.checkpoint->attached
                                                                   : std::vector<AttachedDatabase>{};
    for (const AttachedDatabase& db : attached) add_database(db);
  }
  LogSetReader reader(*this);
  LogRecord record;
  for (;;) {
    auto more = reader.next(record);
    if (!more) return std::move(more).error();
    if (!*more) break;
    if (auto db = attached_database(record)) add_database(std::move(*db));
  }
  for (std::size_t k = 0; k < generations_.size(); ++k) {
    Generation& g = generations_[k];
    if (k < reader.summaries().size()) g.summary = reader.summaries()[k];
    g.signature_matches = !stream || files_[g.file].log->signature == *stream;
  }
  return ok_status();
}

void LogSet::add_database(AttachedDatabase db) {
  for (AttachedDatabase& known : databases_) {
    if (known.path != db.path || !(known.database_signature == db.database_signature)) continue;
    if (!known.log_signature.is_set()) known.log_signature = db.log_signature;  // attach lists carry none
    return;
  }
  databases_.push_back(std::move(db));
}

const LogFile* LogSet::checkpoint() const noexcept {
  for (const LogFile& f : files_) {
    if (f.kind == LogFileKind::Checkpoint) return &f;
  }
  return nullptr;
}

std::optional<LogSignature> LogSet::signature() const {
  if (const LogFile* chk = checkpoint(); chk && chk->checkpoint->signature.is_set()) return chk->checkpoint->signature;
  if (generations_.empty()) return std::nullopt;
  return files_[generations_.back().file].log->signature;
}

std::uint64_t LogSet::missing_generation_count() const noexcept {
  if (generations_.empty()) return 0;
  const std::uint64_t span = std::uint64_t{generations_.back().number} - generations_.front().number + 1;
  return span - generations_.size();
}

std::vector<std::uint32_t> LogSet::missing_generations(std::size_t limit) const {
  std::vector<std::uint32_t> out;
  for (std::size_t k = 1; k < generations_.size() && out.size() < limit; ++k) {
    for (std::uint32_t n = generations_[k - 1].number + 1; n < generations_[k].number && out.size() < limit; ++n)
      out.push_back(n);
  }
  return out;
}

const Generation* LogSet::generation(std::uint32_t number) const noexcept {
  const auto it = std::lower_bound(generations_.begin(), generations_.end(), number,
                                   [](const Generation& g, std::uint32_t n) { return g.number < n; });
  return it != generations_.end() && it->number == number ? &*it : nullptr;
}

Result<bool> LogSetReader::next(LogRecord& out) {
  for (;;) {
    if (reader_) {
      if (reader_->next(out)) return true;
      summaries_.push_back(reader_->summary());
      reader_.reset();
      source_.reset();
      if (summaries_.back().end == GenerationEnd::Unreadable)
        return EseError::parse_error(set_->files()[generation().file].path + ": the log file could not be read");
    }
    if (index_ >= set_->generations().size()) return false;
    const Generation& g = set_->generations()[index_++];
    const LogFile& f = set_->files()[g.file];
    auto source = open_file_source(f.path);
    if (!source) return EseError::parse_error(f.path + ": " + source.error().to_string());
    source_ = std::move(source).value();
    reader_.emplace(source_->bytes(), *f.log, &source_->read_failed());
  }
}

std::optional<AttachedDatabase> attached_database(const LogRecord& record) {
  const Bytes r = record.bytes;
  AttachedDatabase db;
  db.dbid = read_u8(r, L::kDatabaseDbid).value_or(0);
  db.attach_position = record.position;
  if (record.type() == L::type::kAttachDb) {
    const std::size_t names = read_u16le(r, L::kAttachDbNamesSize).value_or(0);
    if (!fits(r, L::kAttachDbNames, names)) return std::nullopt;
    db.consistent_position = parse_log_position(r, L::kAttachDbConsistentPosition);
    db.database_signature = parse_signature(r, L::kAttachDbSignature);
    db.log_signature = parse_signature(r, L::kAttachDbLogSignature);
    db.path = attached_database_name(r.subspan(L::kAttachDbNames, names),
                                     (read_u8(r, L::kAttachDbFlags).value_or(0) & L::kAttachDbUnicodeNames) != 0);
    return db;
  }
  if (record.type() == L::type::kCreateDb) {
    const std::uint8_t flags = read_u8(r, L::kCreateDbFlags).value_or(0);
    const std::size_t names = read_u16le(r, L::kCreateDbNamesSize).value_or(0);
    const std::size_t at = L::kCreateDbNames + ((flags & L::kCreateDbVersionInfo) ? L::kCreateDbVersionInfoSize : 0);
    if (!fits(r, at, names)) return std::nullopt;
    db.database_signature = parse_signature(r, L::kCreateDbSignature);
    db.path = attached_database_name(r.subspan(at, names), (flags & L::kCreateDbUnicodeNames) != 0);
    return db;
  }
  return std::nullopt;
}

}  // namespace pw
