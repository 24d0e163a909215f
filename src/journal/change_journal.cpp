#include "change_journal.hpp"

#include <algorithm>

#include "../database.hpp"
#include "../log/log_layout.hpp"
#include "../log/record_fields.hpp"
#include "../page/leaf.hpp"
#include "../page/tag.hpp"
#include "replace_diff.hpp"

namespace pw {
namespace {

namespace T = log_layout::type;

// Bounds the before images kept for chains of differences; past it they are forgotten (and later differences
// on those pages are given undecoded).
constexpr std::size_t kMaxKnownImageBytes = 32u << 20;
constexpr std::size_t kMaxImageSize = 1u << 16;
// The engine nests transactions below level 11.
constexpr std::uint8_t kDeepestLevel = 10;

std::optional<ChangeOperation> operation_of(std::uint8_t type) noexcept {
  switch (type) {
    case T::kInsert:
      return ChangeOperation::Insert;
    case T::kFlagInsert:
      return ChangeOperation::FlagInsert;
    case T::kFlagInsertAndReplaceData:
      return ChangeOperation::FlagInsertAndReplaceData;
    case T::kReplace:
      return ChangeOperation::Replace;
    case T::kReplaceDiff:
      return ChangeOperation::ReplaceDiff;
    case T::kDelete:
      return ChangeOperation::Delete;
    case T::kFlagDelete:
      return ChangeOperation::FlagDelete;
    default:
      return std::nullopt;
  }
}

std::string owned(Bytes b) { return to_byte_string(b); }

// The data of the node at `line` of a leaf page (a view into the mapping).
std::optional<Bytes> node_on_page(const Database& db, std::uint32_t pgno, std::uint16_t line) {
  auto page = db.read_page(pgno);
  if (!page) return std::nullopt;
  const TagExtractor tags(*page, db.format_version(), db.format_revision(), db.page_size());
  const std::uint32_t tag = std::uint32_t{tags.first_entry()} + line;
  if (tag >= tags.tag_count()) return std::nullopt;
  auto ref = tags.extract_tag(static_cast<std::uint16_t>(tag));
  if (!ref) return std::nullopt;
  auto entry = LeafEntry::try_parse(ref->flags, ref->data, tags.large_page_mode());
  if (!entry) return std::nullopt;
  return entry->data;
}

}  // namespace

const char* change_operation_name(ChangeOperation op) noexcept {
  switch (op) {
    case ChangeOperation::Insert:
      return "insert";
    case ChangeOperation::FlagInsert:
      return "flag_insert";
    case ChangeOperation::FlagInsertAndReplaceData:
      return "flag_insert_and_replace_data";
    case ChangeOperation::Replace:
      return "replace";
    case ChangeOperation::ReplaceDiff:
      return "replace_diff";
    case ChangeOperation::Delete:
      return "delete";
    case ChangeOperation::FlagDelete:
      return "flag_delete";
  }
  return "unknown";
}

const char* transaction_state_name(TransactionState state) noexcept {
  switch (state) {
    case TransactionState::Committed:
      return "committed";
    case TransactionState::RolledBack:
      return "rolled back";
    case TransactionState::Open:
      return "open";
  }
  return "unknown";
}

ChangeJournal::ChangeJournal(const Database* db, std::unordered_set<std::uint32_t> object_ids, Sink sink)
    : db_(db), object_ids_(std::move(object_ids)), sink_(std::move(sink)) {}

void ChangeJournal::feed(const LogRecord& record) {
  switch (record.type()) {
    case T::kInit:
    case T::kInit2:  // a new engine instance: what the last one left uncommitted, recovery rolled back
      restart();
      return;
    case T::kBegin:
    case T::kBegin0:
    case T::kBeginDistributed:
    case T::kCommit:
    case T::kCommit0:
    case T::kRollback:
      transaction(record);
      return;
    default:
      break;
  }
  if (operation_of(record.type())) change(record);
}

ChangeJournal::Session& ChangeJournal::session(std::uint16_t id, std::uint8_t level) {
  level = std::min(level, kDeepestLevel);  // a deeper level is damage: its changes are kept at the deepest
  Session& s = sessions_[id];
  if (s.levels.size() <= level) s.levels.resize(std::size_t{level} + 1);
  s.level = level;
  return s;
}

void ChangeJournal::resolve(std::vector<LogChange>& changes, TransactionState state) {
  for (LogChange& c : changes) {
    c.state = state;
    undecided_.erase(c.sequence);
    sink_(std::move(c));
  }
  changes.clear();
}

void ChangeJournal::restart() {
  for (auto& [id, s] : sessions_) {
    for (auto& level : s.levels) resolve(level, TransactionState::RolledBack);
  }
  sessions_.clear();
}

void ChangeJournal::transaction(const LogRecord& record) {
  const auto t = transaction_fields(record.bytes);
  if (!t) return;
  switch (t->step) {
    case TransactionStep::Begin:
      session(t->session, static_cast<std::uint8_t>(t->level + t->levels));
      return;
    case TransactionStep::Commit: {
      Session& s = sessions_[t->session];
      const std::size_t to = t->level;
      for (std::size_t l = s.levels.size(); l-- > to + 1;) {
        if (to == 0) {
          resolve(s.levels[l], TransactionState::Committed);
        } else {
          auto& into = s.levels[to];
          for (LogChange& c : s.levels[l]) into.push_back(std::move(c));
          s.levels[l].clear();
        }
      }
      if (to == 0 && !s.levels.empty()) resolve(s.levels[0], TransactionState::Committed);
      s.level = static_cast<std::uint8_t>(to);
      return;
    }
    case TransactionStep::Rollback: {
      Session& s = sessions_[t->session];
      for (unsigned n = t->levels; n > 0 && s.level > 0; --n) {
        // Levels above the current one hold nothing left behind by a commit the logs do not show: drop them too.
        for (std::size_t l = s.levels.size(); l-- > s.level;) resolve(s.levels[l], TransactionState::RolledBack);
        --s.level;
      }
      return;
    }
  }
}

std::optional<std::uint64_t> ChangeJournal::page_dbtime(std::uint32_t page) const {
  if (!db_) return std::nullopt;
  auto p = db_->read_page(page);
  if (!p) return std::nullopt;
  return p->header.database_time;
}

void ChangeJournal::set_before_image(LogChange& c, const std::string& diff) {
  const std::size_t max_size = db_ ? db_->page_size() : kMaxImageSize;
  std::optional<std::string> after;
  if (const auto it = images_.find(c.page);
      it != images_.end() && it->second.dbtime == c.dbtime_before && it->second.line == c.line) {
    after = apply_replace_diff(as_bytes(it->second.data), as_bytes(diff), c.second_diff_form, max_size);
    if (after) c.before = BeforeImage::Log;
  }
  if (!after && c.page_dbtime && *c.page_dbtime == c.dbtime_before) {
    // The page on disk is exactly as the record found it: its node at the line is the before image.
    if (const auto before = node_on_page(*db_, c.page, c.line))
      after = apply_replace_diff(*before, as_bytes(diff), c.second_diff_form, max_size);
    if (after) c.before = BeforeImage::Page;
  }
  if (after) {
    c.data = std::move(*after);
    ++decoded_diffs_;
  } else {
    c.diff = diff;
    ++undecoded_diffs_;
  }
}

void ChangeJournal::change(const LogRecord& record) {
  const auto fields = page_record_fields(record.bytes);
  // Space operations carry the object id of the tree whose space trees (owned and available extents) they change.
  if (!fields || !fields->object_id || !object_ids_.count(*fields->object_id) ||
      (fields->flags & log_layout::kFlagSpace))
    return;
  LogChange c;
  c.operation = *operation_of(record.type());
  c.position = record.position;
  c.segment_time = record.segment_time;
  c.session = fields->session;
  c.level = fields->level;
  c.object_id = *fields->object_id;
  c.page = fields->page;
  c.line = fields->line;
  c.dbtime = fields->dbtime;
  c.dbtime_before = fields->dbtime_before;
  c.page_dbtime = page_dbtime(c.page);
  c.sequence = next_sequence_++;
  if (const auto image = node_image(record.bytes)) {
    c.key = owned(image->key_prefix) + owned(image->key);
    c.second_diff_form = image->second_diff_form;
    if (image->kind == NodeImageKind::Diff) {
      set_before_image(c, owned(image->data));
    } else {
      c.data = owned(image->data);
    }
  }
  const bool has_image = c.diff.empty() && c.operation != ChangeOperation::Delete &&
                         c.operation != ChangeOperation::FlagDelete;
  if (const auto it = images_.find(c.page); it != images_.end()) {
    image_bytes_ -= it->second.data.size();
    images_.erase(it);
  }
  if (has_image) {
    if (image_bytes_ + c.data.size() > kMaxKnownImageBytes) {
      images_.clear();
      image_bytes_ = 0;
    }
    image_bytes_ += c.data.size();
    images_[c.page] = KnownImage{c.dbtime, c.line, c.data};
  }
  Session& s = session(c.session, c.level);
  if (c.level == 0) {  // no transaction: nothing can undo it
    c.state = TransactionState::Committed;
    sink_(std::move(c));
    return;
  }
  undecided_.insert(c.sequence);
  s.levels[s.level].push_back(std::move(c));
}

void ChangeJournal::finish() {
  for (auto& [id, s] : sessions_) {
    for (auto& level : s.levels) resolve(level, TransactionState::Open);
  }
  sessions_.clear();
}

}  // namespace pw
