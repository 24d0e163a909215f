// An ArrowArrayStream over the rows of one table: the schema from the catalog, then batches of at most
// `batch_rows` rows built from a TableCursor. Pure C++: get_next runs without any Python, so a consumer may
// call it from any thread, and memory is bounded by one batch.
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

struct ArrowStreamOptions {
  ArrowTableOptions table;
  DeletedRows deleted = DeletedRows::Exclude;
  std::size_t batch_rows = 65536;
};

// What a stream wrote as null because the value had no form of its column's type (a DateTime no reading
// accepts, a fixed value stored short, a value too long for one array), per column of the stream. The
// schema is sent before the first row is read, so these counts cannot travel in it; the producer's owner
// reads them while or after the stream runs.
struct StreamReport {
  std::vector<std::string> names;  // field names, as in the schema
  std::unique_ptr<std::atomic<std::uint64_t>[]> unreadable;
  // Of those, the values with no readable form by reason (compressed in a scheme not decoded, corrupt,
  // encrypted): kUnreadableKinds per column, indexed by Unreadable, brought up to date after each batch.
  std::unique_ptr<std::atomic<std::uint64_t>[]> reasons;
};

// Opens the table whose raw name is `name` and fills `out` with a stream of its rows. `db` is held until the
// stream is released (its deleter runs in the thread that releases it). Fails, leaving `out` untouched, when
// the table is unknown or the descent to its first leaf fails.
Result<std::shared_ptr<StreamReport>> open_arrow_stream(std::shared_ptr<const Database> db, const std::string& name,
                                                        ArrowStreamOptions options, ArrowArrayStream* out);

}  // namespace pw::columnar
