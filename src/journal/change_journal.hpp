// ChangeJournal: the node changes the logs carry for some trees, each with the fate of its transaction
// (committed, rolled back, still open at the end of the logs) and what the database on disk knows of it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../format/log_fields.hpp"
#include "../log/generation_reader.hpp"

namespace pw {

class Database;

enum class ChangeOperation : std::uint8_t {
  Insert,
  FlagInsert,                // a node flagged deleted made live again with new data
  FlagInsertAndReplaceData,  // the same, replacing the data of a versioned replace
  Replace,                   // the full after image
  ReplaceDiff,               // the difference from the before image
  Delete,
  FlagDelete,  // the node flagged deleted (cleaned away later)
};
const char* change_operation_name(ChangeOperation op) noexcept;

enum class TransactionState : std::uint8_t {
  Committed,   // its session committed the transaction to level 0 (or it was no transaction)
  RolledBack,  // its level was rolled back, or the engine restarted before it committed
  Open,        // the logs end before its transaction does
};
const char* transaction_state_name(TransactionState state) noexcept;

// Where the before image of a difference came from.
enum class BeforeImage : std::uint8_t { None, Page, Log };

struct LogChange {
  ChangeOperation operation = ChangeOperation::Insert;
  LogPosition position;
  std::optional<LogTime> segment_time;
  std::uint16_t session = 0;
  std::uint8_t level = 0;
  std::uint32_t object_id = 0;
  std::uint32_t page = 0;
  std::uint16_t line = 0;
  std::uint64_t dbtime = 0, dbtime_before = 0;
  std::string key;   // inserts: the node's key
  std::string data;  // the after image (a difference decoded against its before image included)
  std::string diff;  // a difference whose before image was not found, as logged
  bool second_diff_form = false;
  BeforeImage before = BeforeImage::None;
  TransactionState state = TransactionState::Open;
  // The page on disk: its dbtime, when the page lies inside the file.
  std::optional<std::uint64_t> page_dbtime;
  std::uint64_t sequence = 0;  // the journal's count of changes before this one: their log order
  // The database page already holds the change: its dbtime is at least the record's.
  bool flushed() const noexcept { return page_dbtime && *page_dbtime >= dbtime; }
};

class ChangeJournal {
 public:
  using Sink = std::function<void(LogChange&&)>;

  // Changes to trees with these object ids are kept; `db` (optional) gives before images of differences and the
  // pages' dbtimes. Each change goes to `sink` once its transaction is decided (finish() gives the open ones).
  ChangeJournal(const Database* db, std::unordered_set<std::uint32_t> object_ids, Sink sink);

  void feed(const LogRecord& record);
  // The end of the logs: changes of transactions still open go to the sink as Open.
  void finish();

  // The sequence number of the oldest change whose transaction is not decided yet (changes after it may be
  // decided before it).
  std::optional<std::uint64_t> oldest_undecided() const {
    return undecided_.empty() ? std::nullopt : std::optional<std::uint64_t>(*undecided_.begin());
  }
  // Differences decoded, and those whose before image was not found.
  std::uint64_t decoded_diffs() const noexcept { return decoded_diffs_; }
  std::uint64_t undecoded_diffs() const noexcept { return undecoded_diffs_; }

 private:
  struct Session {
    std::uint8_t level = 0;
    std::vector<std::vector<LogChange>> levels;  // changes pending at each transaction level
  };
  struct KnownImage {
    std::uint64_t dbtime;
    std::uint16_t line;
    std::string data;
  };

  void change(const LogRecord& record);
  void transaction(const LogRecord& record);
  void restart();
  void resolve(std::vector<LogChange>& changes, TransactionState state);
  Session& session(std::uint16_t id, std::uint8_t level);
  void set_before_image(LogChange& c, const std::string& diff);
  std::optional<std::uint64_t> page_dbtime(std::uint32_t page) const;

  const Database* db_;
  std::unordered_set<std::uint32_t> object_ids_;
  Sink sink_;
  std::unordered_map<std::uint16_t, Session> sessions_;
  std::unordered_map<std::uint32_t, KnownImage> images_;  // by page: the node image the page got last
  std::size_t image_bytes_ = 0;
  std::uint64_t next_sequence_ = 0;
  std::set<std::uint64_t> undecided_;
  std::uint64_t decoded_diffs_ = 0, undecoded_diffs_ = 0;
};

}  // namespace pw
