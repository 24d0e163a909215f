#include "arrow_stream.hpp"

#include <cerrno>
#include <new>

#include "../database.hpp"
#include "arrow_export.hpp"
#include "column_builder.hpp"
#include "direct_columns.hpp"

namespace pw::columnar {
namespace {

class TableStream {
 public:
  TableStream(std::shared_ptr<const Database> db, TableCursor cursor, std::vector<ArrowColumn> columns,
              DirectColumns direct, std::size_t batch_rows, std::shared_ptr<StreamReport> report)
      : db_(std::move(db)),
        cursor_(std::move(cursor)),
        columns_(std::move(columns)),
        direct_(std::move(direct)),
        batch_rows_(batch_rows == 0 ? 1 : batch_rows),
        report_(std::move(report)) {
    builders_.reserve(columns_.size());
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      builders_.emplace_back(columns_[c].kind, columns_[c].list);
      if (!direct_.is_direct(c)) {
        decoded_.push_back(c);
      } else if (is_variable(columns_[c].kind)) {
        direct_variable_.push_back(c);
      }
    }
  }

  int get_schema(ArrowSchema* out) {
    export_schema(columns_, out);
    return 0;
  }

  int get_next(ArrowArray* out) {
    if (failed_) return EIO;
    std::int64_t rows = 0;
    if (!done_) {
      if (!reserved_) {
        for (ColumnBuilder& b : builders_) b.reserve(batch_rows_);
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
  // Appends rows until the batch is full, the table ends or a read fails; returns the rows appended.
  std::int64_t fill_batch() {
    std::int64_t rows = 0;
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
      }
      pending_ = false;
      const Bytes record = cursor_.record();
      if (direct_.prepare(record)) cursor_.decode_again(extra_row_, direct_.fallback());
      // Stored bytes that are no value of the column (compressed in a scheme not decoded, encrypted) are null in
      // both views: an Arrow column holds values of its type only. The cursor counts them by reason.
      for (Row* decoded : {&row_, &extra_row_}) {
        for (const UnreadableValue& u : decoded->unreadable) decoded->values[u.position] = ColumnValue::null();
      }
      if (rows > 0 && overflows()) {
        pending_ = true;  // this row opens the next batch
        break;
      }
      std::atomic<std::uint64_t>* unreadable = report_->unreadable.get();
      direct_.append(record, builders_, unreadable);
      for (const std::size_t c : decoded_) append(c, row_, unreadable);
      for (const std::size_t c : direct_.fallback_columns()) append(c, extra_row_, unreadable);
      ++rows;
    }
    direct_.flush(builders_, report_->unreadable.get());
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      const UnreadableCounts& counts = cursor_.unreadable_values()[columns_[c].position];
      for (std::size_t r = 0; r < kUnreadableKinds; ++r)
        report_->reasons[c * kUnreadableKinds + r].store(counts[r], std::memory_order_relaxed);
    }
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

  bool overflows() const {
    // A directly read value takes at most three bytes per stored byte (windows-1252 text as UTF-8).
    const std::size_t record_bound = 3 * cursor_.record().size();
    for (const std::size_t c : direct_variable_) {
      if (builders_[c].data_bytes() > kMaxArrayBytes - record_bound) return true;
    }
    for (const std::size_t c : decoded_) {
      const std::size_t position = columns_[c].position;
      if (position < row_.values.size() && builders_[c].would_overflow(row_.values[position])) return true;
    }
    for (const std::size_t c : direct_.fallback_columns()) {
      const std::size_t position = columns_[c].position;
      if (position < extra_row_.values.size() && builders_[c].would_overflow(extra_row_.values[position])) return true;
    }
    return false;
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
  std::shared_ptr<StreamReport> report_;
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
  try {
    return stream_of(s)->get_schema(out);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  try {
    return stream_of(s)->get_next(out);
  } catch (const std::bad_alloc&) {
    stream_of(s)->fail("Out of memory building a batch");
    return ENOMEM;
  }
}

const char* stream_last_error(ArrowArrayStream* s) { return stream_of(s)->last_error(); }

void stream_release(ArrowArrayStream* s) {
  delete stream_of(s);
  s->private_data = nullptr;
  s->release = nullptr;
}

}  // namespace

Result<std::shared_ptr<StreamReport>> open_arrow_stream(std::shared_ptr<const Database> db, const std::string& name,
                                                        ArrowStreamOptions options, ArrowArrayStream* out) {
  const TableInfo* table = db->tables().find(name);
  if (!table) return EseError::table_not_found(name);
  auto columns = plan_columns(*table, options.table);
  CursorOptions cursor_options;
  cursor_options.typed = options.table.typed;
  cursor_options.deleted = options.deleted;
  cursor_options.wanted = options.table.wanted;
  if (cursor_options.wanted.empty()) cursor_options.wanted.assign(table->row_order.size(), true);
  cursor_options.readings = options.table.readings;
  DirectColumns direct(*table, columns, options.table, db->large_page_mode(), cursor_options.wanted);
  auto cursor = open_table(*db, name, std::move(cursor_options));
  if (!cursor) return std::move(cursor).error();
  auto report = std::make_shared<StreamReport>();
  for (const ArrowColumn& column : columns) report->names.push_back(column.name);
  report->unreadable = std::make_unique<std::atomic<std::uint64_t>[]>(columns.size());
  report->reasons = std::make_unique<std::atomic<std::uint64_t>[]>(columns.size() * kUnreadableKinds);
  auto stream = std::make_unique<TableStream>(std::move(db), std::move(*cursor), std::move(columns), std::move(direct),
                                              options.batch_rows, report);
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_last_error;
  out->release = stream_release;
  out->private_data = stream.release();
  return report;
}

}  // namespace pw::columnar
