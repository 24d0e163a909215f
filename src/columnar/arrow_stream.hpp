// An ArrowArrayStream over the rows of one table: the schema from the catalog, then batches of at most
// `batch_rows` rows and about `batch_bytes` bytes built from a TableCursor. Pure C++: get_next runs without
// any Python, so a consumer may call it from any thread (calls from several threads at once are serialised),
// and memory is bounded by one batch.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../cursor/table_cursor.hpp"
#include "../result.hpp"
#include "arrow_abi.hpp"
#include "arrow_columns.hpp"

namespace pw {
class Database;
}

namespace pw::columnar {

// The default byte budget of one batch: a batch ends before the row that would take its buffers past it
// (a batch always holds at least one row), so neither wide rows nor large values make a batch of
// batch_rows rows unbounded.
inline constexpr std::size_t kDefaultBatchBytes = std::size_t{64} << 20;

struct ArrowStreamOptions {
  ArrowTableOptions table;  // its deleted_marker is set by open_arrow_stream from `deleted`
  DeletedRows deleted = DeletedRows::Exclude;
  std::size_t batch_rows = 65536;
  std::size_t batch_bytes = kDefaultBatchBytes;
};

// What a stream could not give, per column of the stream: values written as null because they had no form of
// their column's type (a DateTime no reading accepts, a fixed value stored short, a value too long for one
// array, a multi-value whose element offsets go back, a long value joined again past the cursor's budget),
// and long-value references that no long value answered (null too). The schema is sent before the first row
// is read, so these counts cannot travel in it; the producer's owner reads them while or after the stream
// runs (they are updated at the end of each batch).
struct StreamReport {
  std::vector<std::string> names;  // field names, as in the schema
  std::unique_ptr<std::atomic<std::uint64_t>[]> unreadable;
  std::unique_ptr<std::atomic<std::uint64_t>[]> missing_long_values;
  // Of the unreadable ones, the values whose stored form cannot be read, by reason (compressed in a scheme not
  // decoded, corrupt, encrypted): kUnreadableKinds per column, indexed by Unreadable.
  std::unique_ptr<std::atomic<std::uint64_t>[]> reasons;
};

// Opens the table whose raw name is `name` and fills `out` with a stream of its rows. `db` is held until the
// stream is released (its deleter runs in the thread that releases it). Fails, leaving `out` untouched, when
// the table is unknown or the descent to its first leaf fails.
Result<std::shared_ptr<StreamReport>> open_arrow_stream(std::shared_ptr<const Database> db, const std::string& name,
                                                        ArrowStreamOptions options, ArrowArrayStream* out);

}  // namespace pw::columnar
