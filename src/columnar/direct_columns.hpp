// The columns of a stream that are read straight from the stored record into their builders, without a
// ColumnValue: fixed columns of fixed-width kinds and variable text and binary columns, when they have no
// default value (whose absent form the cursor's decoder supplies). Each value is read exactly as
// decode_record and the typed view read it; the cursor decodes only the other columns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../utils/bytes.hpp"
#include "arrow_columns.hpp"
#include "column_builder.hpp"

namespace pw::columnar {

class DirectColumns {
 public:
  // Chooses the direct columns among `columns`; marks them in `decoded` (by row position) as not to be
  // decoded by the cursor.
  DirectColumns(const TableInfo& table, const std::vector<ArrowColumn>& columns, const ArrowTableOptions& options,
                std::vector<bool>& decoded);

  bool is_direct(std::size_t column) const { return direct_[column]; }

  // Appends the direct columns' values of one stored record to `builders` (indexed like the stream's
  // columns); a value that has no form of its column's kind is a null counted in `unreadable`.
  void append(Bytes record, std::vector<ColumnBuilder>& builders, std::atomic<std::uint64_t>* unreadable) const;

 private:
  enum class Read : std::uint8_t { Bool, U8, U16, U32, U64, Instant, Bytes, Text };
  struct Column {
    std::size_t index;  // into the stream's columns and builders
    std::uint32_t id;
    std::size_t offset;  // fixed columns: start in the record
    std::size_t size;    // fixed columns: the column's stored size
    Read read;
    TimestampReading reading;  // Instant
    std::uint32_t codepage;    // Text
    bool trim_nuls;            // Text of the typed view
  };

  void append_fixed(Bytes rec, const Column& c, Bytes null_bits, ColumnBuilder& b,
                    std::atomic<std::uint64_t>& unreadable) const;

  std::vector<Column> fixed_;
  std::vector<Column> variable_;
  std::vector<bool> direct_;
  std::size_t fixed_end_[256];  // by last fixed id: where the fixed data ends (4 + sizes of columns up to it)
};

}  // namespace pw::columnar
