// The columns of a stream that are read straight from the stored record into their builders, without a
// ColumnValue: fixed columns of fixed-width kinds, and variable and tagged text and binary columns, when they
// have no default value (whose absent form the cursor's decoder supplies) and are not encrypted. Each value is
// read exactly as decode_record and the typed view read it; the cursor decodes only the other columns, and the
// tagged values that a record stores as a long value, a multi-value, compressed or encrypted (see prepare).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../record/tagged_area.hpp"
#include "../utils/bytes.hpp"
#include "arrow_columns.hpp"
#include "column_builder.hpp"

namespace pw::columnar {

class DirectColumns {
 public:
  // Chooses the direct columns among `columns`; marks them in `decoded` (by row position) as not to be
  // decoded by the cursor.
  DirectColumns(const TableInfo& table, const std::vector<ArrowColumn>& columns, const ArrowTableOptions& options,
                bool large_pages, std::vector<bool>& decoded);

  bool is_direct(std::size_t column) const { return direct_[column]; }

  // Looks at the tagged values of one stored record: the direct columns whose value needs the cursor's
  // decoding this time are marked in fallback() (by row position) and listed in fallback_columns() (by
  // stream column). Returns whether there is any.
  bool prepare(Bytes record);
  const std::vector<bool>& fallback() const noexcept { return fallback_; }
  const std::vector<std::size_t>& fallback_columns() const noexcept { return fallback_columns_; }

  // Appends the direct columns' values of the record given to prepare() to `builders` (indexed like the
  // stream's columns), except those in fallback_columns(); a value that has no form of its column's kind is a
  // null counted in `unreadable`. The fixed columns' values are appended by flush(): `record` must stay valid
  // until then (it is a view into the mapped file).
  void append(Bytes record, std::vector<ColumnBuilder>& builders, std::atomic<std::uint64_t>* unreadable);
  // Appends the fixed columns' values of the records given to append() since the last flush, column by column
  // (append() flushes every few hundred records itself).
  void flush(std::vector<ColumnBuilder>& builders, std::atomic<std::uint64_t>* unreadable);

 private:
  enum class Read : std::uint8_t { Bool, U8, U16, U32, U64, Instant, Bytes, Text };
  struct Column {
    std::size_t index;     // into the stream's columns and builders
    std::size_t position;  // in the row
    std::uint32_t id;
    std::size_t offset;  // fixed columns: start in the record
    std::size_t size;    // fixed columns: the column's stored size
    Read read;
    TimestampReading reading;  // Instant
    std::uint32_t codepage;    // Text
    bool trim_nuls;            // Text of the typed view
  };

  // What a record's fixed columns are read from: the record, its fixed-column null bits, its last fixed id,
  // and whether every direct fixed column is stored in it and none is marked null (then each value is read
  // without looking at the rest again).
  struct FixedRow {
    Bytes record;
    Bytes null_bits;
    std::uint8_t last_fixed;
    bool all_stored;
  };
  template <class T>
  static std::optional<T> stored_fixed(const FixedRow& row, const Column& c) noexcept;
  // Appends column `c` of the pending rows to `b`: each stored value of `T` through convert(stored, Value&),
  // which returns false when it has no `Value`.
  template <class T, class Value, class Convert>
  void append_fixed_run(const Column& c, ColumnBuilder& b, Convert convert) const;
  // Appends a variable or tagged value's bytes: null when empty, text decoded by the column's codepage.
  void append_bytes(Bytes bytes, const Column& c, ColumnBuilder& b, std::atomic<std::uint64_t>& unreadable) const;

  std::vector<Column> fixed_;
  std::vector<Column> variable_;
  std::vector<Column> tagged_;
  std::vector<bool> direct_;
  bool large_;
  TaggedDirectory directory_;                  // of the record given to prepare()
  std::vector<bool> fallback_;                 // by row position
  std::vector<std::size_t> fallback_columns_;  // by stream column
  std::vector<FixedRow> pending_rows_;         // given to append(), their fixed columns not yet flushed
  std::uint8_t largest_fixed_id_ = 0;          // of the direct fixed columns
  std::size_t fixed_columns_end_ = 0;          // where the last of their values ends in a record
  std::size_t fixed_end_[256];  // by last fixed id: where the fixed data ends (4 + sizes of columns up to it)
};

}  // namespace pw::columnar
