// What a database lacks without its logs: whether the logs beside it hold the generations its header requires,
// and how many page changes in them are newer than its pages on disk, table by table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../log/log_set.hpp"
#include "../result.hpp"

namespace pw {

class Database;

struct TableLogChanges {
  std::string table;  // raw name
  std::uint64_t changes = 0;  // page changes to the table's trees (data, indexes, long values)
  // Changes the database's pages do not hold yet (the redo rule: the record's dbtime is above the page's).
  std::uint64_t newer = 0;
  // Newer changes whose page is not at the time the record expects before it (once the newer changes before it
  // on that page are counted in): a change between them is missing from the logs.
  std::uint64_t out_of_sequence = 0;
};

struct LogCoverage {
  bool signature_matches = false;  // the logs' signature is the database header's log signature
  bool database_named = false;     // the logs attach a database with this database's signature
  std::uint32_t required_min = 0, required_max = 0;  // generations the header requires (0, 0: none)
  std::vector<std::uint32_t> missing;  // required generations absent, or of another log stream (at most 1000)
  std::uint64_t missing_count = 0;
  std::vector<std::uint32_t> damaged;  // required generations whose reading met damage
  std::optional<std::uint32_t> lowest, highest;  // generations of the database's log stream present
  bool covered = false;  // nothing required is missing or damaged and the signatures match
  std::vector<TableLogChanges> tables;  // tables whose trees the logs change, in catalog order
  std::uint64_t page_changes = 0;  // every page change of the database in the logs
  std::uint64_t newer = 0;         // of them, not yet on its pages
  std::uint64_t newer_unattributed = 0;  // newer changes to trees no table of the catalog owns
  std::uint64_t pages_past_end = 0;      // newer changes to pages past the end of the file
};

// Reads every record of `logs` once. Fails when a log file can no longer be read.
Result<LogCoverage> log_coverage(const Database& db, const LogSet& logs);

}  // namespace pw
