// LiveRecords: the live records of a table's data tree, found by their bytes or by their key, for telling a
// recovered record that is an old copy of a live row (a page left behind by a split, a stale slot) from lost data.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../utils/bytes.hpp"

namespace pw {

class Database;

class LiveRecords {
 public:
  // Walks the table's leaf level once; entries flagged deleted are not live. Holds 24 bytes per live record
  // (the hash of its key, a view of its bytes), and as many again once a record is looked up by its bytes.
  static LiveRecords build(const Database& db, const TableInfo& table);

  // Whether the same bytes are live (a hash match is confirmed by comparing the bytes).
  bool has_record(Bytes record);
  // The live record stored under this full key, if any.
  std::optional<Bytes> record_of_key(std::string_view key) const;

 private:
  // The record's bytes are a view of the page they were read from: the mapped file, or a page the database
  // holds repaired in memory (which lies outside the mapping, so no file offset can stand for it).
  struct Entry {
    std::uint64_t hash;
    Bytes record;
    bool operator<(const Entry& other) const noexcept { return hash < other.hash; }
  };

  std::vector<Entry> by_key_;     // hash of the entry's full key
  std::vector<Entry> by_record_;  // hash of the record's bytes, made at the first lookup by bytes
};

}  // namespace pw
