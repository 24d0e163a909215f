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
  // (the hash of its key, its place in the file), and as many again once a record is looked up by its bytes.
  static LiveRecords build(const Database& db, const TableInfo& table);

  // Whether the same bytes are live (a hash match is confirmed by comparing the bytes).
  bool has_record(Bytes record);
  // The live record stored under this full key, if any.
  std::optional<Bytes> record_of_key(std::string_view key) const;

 private:
  struct Entry {
    std::uint64_t hash;
    std::uint64_t at;  // file offset of the record's bytes
    std::uint32_t length;
    bool operator<(const Entry& other) const noexcept { return hash < other.hash; }
  };
  Bytes bytes_of(const Entry& e) const noexcept { return file_.subspan(e.at, e.length); }

  Bytes file_;
  std::vector<Entry> by_key_;     // hash of the entry's full key
  std::vector<Entry> by_record_;  // hash of the record's bytes, made at the first lookup by bytes
};

}  // namespace pw
