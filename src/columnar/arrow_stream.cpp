#include "arrow_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <new>

#include "../database.hpp"
#include "arrow_export.hpp"
#include "column_builder.hpp"
#include "direct_columns.hpp"

namespace pw::columnar {
namespace {

// The most rows a batch's buffers are first sized for; they grow as rows arrive, up to the batch's limits.
constexpr std::size_t kFirstReservedRows = 65536;

// Bytes a decoded value adds to its column's buffers beyond its slot: text and binary bytes, a GUID's text,
// and a list's elements with their own slots.
std::size_t payload_bytes(const ColumnValue& v) {
  if (v.tag == ValueTag::List) {
    std::size_t total = 0;
    for (const ColumnValue& e : v.elements) total += 8 + payload_bytes(e);
    return total;
  }
  return v.tag == ValueTag::Guid ? 36 : v.bytes.size();
}

class TableStream {
 public:
  TableStream(std::shared_ptr<const Database> db, TableCursor cursor, std::vector<ArrowColumn> columns,
              DirectColumns direct, const ArrowStreamOptions& options, std::shared_ptr<StreamReport> report)
      : db_(std::move(db)),
        cursor_(std::move(cursor)),
        columns_(std::move(columns)),
        direct_(std::move(direct)),
        batch_rows_(options.batch_rows == 0 ? 1 : options.batch_rows),
        batch_bytes_(options.batch_bytes == 0 ? 1 : options.batch_bytes),
        report_(std::move(report)),
        cursor_unreadable_seen_(columns_.size(), 0) {
    builders_.reserve(columns_.size());
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      builders_.emplace_back(columns_[c].kind, columns_[c].list);
      if (columns_[c].deleted_marker) {
        marker_ = c;
      } else if (!direct_.is_direct(c)) {
        decoded_.push_back(c);
      } else if (is_variable(columns_[c].kind)) {
        direct_variable_.push_back(c);
      }
    }
    // Every slot takes at most 8 bytes of values or offsets and a validity bit.
    slot_bytes_ = 9 * columns_.size();
  }

  // Consumers may call the stream from several threads; each call runs alone.
  std::mutex& mutex() noexcept { return mutex_; }

  int get_schema(ArrowSchema* out) {
    export_schema(columns_, out);
    return 0;
  }

  int get_next(ArrowArray* out) {
    if (failed_) return EIO;
    std::int64_t rows = 0;
    if (!done_) {
      if (!reserved_) {
        // Sized for the rows a batch can hold, not for batch_rows: buffers grow as rows arrive.
        const std::size_t rows_in_budget = std::max<std::size_t>(1, batch_bytes_ / std::max<std::size_t>(1, slot_bytes_));
        const std::size_t first = std::min({batch_rows_, rows_in_budget, kFirstReservedRows});
        for (ColumnBuilder& b : builders_) b.reserve(first);
        reserved_ = true;
      }
      rows = fill_batch();
    }
    if (rows == 0) {
      if (failed_) return EIO;  // the error comes right after the last complete batch
      out->release = nullptr;   // the end of the stream
      return 0;
    }
    std::vector<ArrowArray*> children;
    children.reserve(builders_.size());
    try {
      for (ColumnBuilder& b : builders_) {
        auto child = std::make_unique<ArrowArray>();
        b.finish(child.get());
        children.push_back(child.release());
      }
    } catch (...) {
      for (ArrowArray* child : children) {
        child->release(child);
        delete child;
      }
      throw;
    }
    ArrayBuffers top;
    top.length = rows;
    export_array(ArrayLayout::Struct, std::move(top), std::move(children), out);
    return 0;
  }

  const char* last_error() const noexcept { return error_.empty() ? nullptr : error_.c_str(); }

  void fail(std::string message) {
    error_ = std::move(message);
    failed_ = true;
  }

 private:
  // Appends rows until the batch is full (in rows or bytes), the table ends or a read fails; returns the rows
  // appended.
  std::int64_t fill_batch() {
    std::int64_t rows = 0;
    std::size_t bytes = 0;
    while (static_cast<std::size_t>(rows) < batch_rows_) {
      if (!pending_) {
        auto more = cursor_.next_row(row_);
        if (!more) {
          fail("Error reading record: " + more.error().to_string());
          break;
        }
        if (!*more) {
          done_ = true;
          break;
        }
        // Once per row: a row held over to the next batch keeps what was decoded (its long values joined once).
        if (direct_.prepare(cursor_.record())) cursor_.decode_again(extra_row_, direct_.fallback());
      }
      pending_ = false;
      const Bytes record = cursor_.record();
      // Stored bytes that are no value of the column (compressed in a scheme not decoded, encrypted) are null in
      // both views: an Arrow column holds values of its type only. The cursor counts them by reason.
      for (Row* decoded : {&row_, &extra_row_}) {
        for (const UnreadableValue& u : decoded->unreadable) decoded->values[u.position] = ColumnValue::null();
      }
      bool overflow = false;
      const std::size_t row_bytes = row_bytes_bound(overflow);
      if (rows > 0 && (overflow || row_bytes > batch_bytes_ - std::min(bytes, batch_bytes_))) {
        pending_ = true;  // this row opens the next batch
        break;
      }
      std::atomic<std::uint64_t>* unreadable = report_->unreadable.get();
      direct_.append(record, builders_, unreadable);
      for (const std::size_t c : decoded_) append(c, row_, unreadable);
      for (const std::size_t c : direct_.fallback_columns()) append(c, extra_row_, unreadable);
      if (marker_ != kNone) builders_[marker_].append_bool(cursor_.row_deleted());
      bytes += row_bytes;
      ++rows;
    }
    direct_.flush(builders_, report_->unreadable.get());
    update_report();
    // The fixed columns were read after their rows' checks: a file that failed meanwhile read as zeros.
    if (const Status status = db_->source_status(); !status) {
      fail("Error reading record: " + status.error().to_string());
      return 0;
    }
    return rows;
  }

  void append(std::size_t c, const Row& row, std::atomic<std::uint64_t>* unreadable) {
    const std::size_t position = columns_[c].position;
    const ColumnValue& value = position < row.values.size() ? row.values[position] : kNull;
    if (!builders_[c].append(value)) unreadable[c].fetch_add(1, std::memory_order_relaxed);
  }

  // What the current row adds to the batch's buffers, at most; `overflow` is set when a value of it would take
  // its column's variable data past what one array holds.
  std::size_t row_bytes_bound(bool& overflow) const {
    std::size_t bytes = slot_bytes_;
    if (!direct_variable_.empty()) {
      // A directly read value takes at most three bytes per stored byte (windows-1252 text as UTF-8).
      const std::size_t record_bound = 3 * cursor_.record().size();
      bytes += record_bound;
      for (const std::size_t c : direct_variable_) {
        if (builders_[c].data_bytes() > kMaxArrayBytes - record_bound) overflow = true;
      }
    }
    const auto decoded = [&](std::size_t c, const Row& row) {
      const std::size_t position = columns_[c].position;
      if (position >= row.values.size()) return;
      const ColumnValue& value = row.values[position];
      bytes += payload_bytes(value);
      if (builders_[c].would_overflow(value)) overflow = true;
    };
    for (const std::size_t c : decoded_) decoded(c, row_);
    for (const std::size_t c : direct_.fallback_columns()) decoded(c, extra_row_);
    return bytes;
  }

  // The cursor's counts of the rows read so far, by stream column: missing long values, and the values it
  // could not give (multi-values cut short, long values past its budget, stored forms that cannot be read),
  // added to the stream's own; those stored forms by reason too.
  void update_report() {
    const std::vector<std::uint64_t>& missing = cursor_.missing_long_values();
    const std::vector<std::uint64_t>& unreadable = cursor_.unreadable_values();
    const std::vector<UnreadableCounts>& reasons = cursor_.unreadable_reasons();
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      const std::size_t position = columns_[c].position;
      if (columns_[c].deleted_marker) continue;
      if (position < missing.size()) report_->missing_long_values[c].store(missing[position], std::memory_order_relaxed);
      for (std::size_t r = 0; position < reasons.size() && r < kUnreadableKinds; ++r)
        report_->reasons[c * kUnreadableKinds + r].store(reasons[position][r], std::memory_order_relaxed);
      if (position < unreadable.size() && unreadable[position] > cursor_unreadable_seen_[c]) {
        report_->unreadable[c].fetch_add(unreadable[position] - cursor_unreadable_seen_[c], std::memory_order_relaxed);
        cursor_unreadable_seen_[c] = unreadable[position];
      }
    }
  }

  static inline const ColumnValue kNull{};

  std::shared_ptr<const Database> db_;  // declared first: the cursor reads from it
  TableCursor cursor_;
  std::vector<ArrowColumn> columns_;
  DirectColumns direct_;
  std::vector<ColumnBuilder> builders_;
  std::vector<std::size_t> decoded_;          // the columns whose values come from the cursor's row
  std::vector<std::size_t> direct_variable_;  // the text and binary columns read straight from the record
  std::size_t batch_rows_;
  std::size_t batch_bytes_;
  std::size_t slot_bytes_ = 0;  // bytes one row's slots take at most, over every column
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t marker_ = kNone;  // the column of the deleted marker
  std::shared_ptr<StreamReport> report_;
  std::vector<std::uint64_t> cursor_unreadable_seen_;  // by stream column: the cursor's count already reported
  std::mutex mutex_;
  Row row_;
  Row extra_row_;         // the direct columns whose value this record stores in a form only the cursor decodes
  bool pending_ = false;  // row_ was read but belongs to the next batch
  bool reserved_ = false;
  bool done_ = false;
  bool failed_ = false;
  std::string error_;
};

TableStream* stream_of(ArrowArrayStream* s) { return static_cast<TableStream*>(s->private_data); }

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
  const std::lock_guard lock(stream_of(s)->mutex());
  try {
    return stream_of(s)->get_schema(out);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  const std::lock_guard lock(stream_of(s)->mutex());
  try {
    return stream_of(s)->get_next(out);
  } catch (const std::bad_alloc&) {
    stream_of(s)->fail("Out of memory building a batch");
    return ENOMEM;
  }
}

const char* stream_last_error(ArrowArrayStream* s) {
  const std::lock_guard lock(stream_of(s)->mutex());
  return stream_of(s)->last_error();
}

void stream_release(ArrowArrayStream* s) {
  { const std::lock_guard lock(stream_of(s)->mutex()); }  // a call under way in another thread ends first
  delete stream_of(s);
  s->private_data = nullptr;
  s->release = nullptr;
}

}  // namespace

Result<std::shared_ptr<StreamReport>> open_arrow_stream(std::shared_ptr<const Database> db, const std::string& name,
                                                        ArrowStreamOptions options, ArrowArrayStream* out) {
  const TableInfo* table = db->tables().find(name);
  if (!table) return EseError::table_not_found(name);
  options.table.deleted_marker = options.deleted != DeletedRows::Exclude;
  auto columns = plan_columns(*table, options.table);
  CursorOptions cursor_options;
  cursor_options.typed = options.table.typed;
  cursor_options.deleted = options.deleted;
  cursor_options.wanted = options.table.wanted;
  if (cursor_options.wanted.empty()) {
    cursor_options.wanted.assign(table->row_order.size(), options.table.order.empty());
    for (const std::size_t k : options.table.order) {
      if (k < cursor_options.wanted.size()) cursor_options.wanted[k] = true;
    }
  }
  cursor_options.readings = options.table.readings;
  DirectColumns direct(*table, columns, options.table, db->large_page_mode(), cursor_options.wanted);
  auto cursor = open_table(*db, name, std::move(cursor_options));
  if (!cursor) return std::move(cursor).error();
  auto report = std::make_shared<StreamReport>();
  for (const ArrowColumn& column : columns) report->names.push_back(column.name);
  report->unreadable = std::make_unique<std::atomic<std::uint64_t>[]>(columns.size());
  report->missing_long_values = std::make_unique<std::atomic<std::uint64_t>[]>(columns.size());
  report->reasons = std::make_unique<std::atomic<std::uint64_t>[]>(columns.size() * kUnreadableKinds);
  auto stream = std::make_unique<TableStream>(std::move(db), std::move(*cursor), std::move(columns), std::move(direct),
                                              options, report);
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_last_error;
  out->release = stream_release;
  out->private_data = stream.release();
  return report;
}

}  // namespace pw::columnar
