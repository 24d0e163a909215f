// Long values: the table's long-value tree, indexed once per cursor, and the joining of a value's chunks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../result.hpp"
#include "../utils/bytes.hpp"

namespace pw {

class Database;

// Every leaf entry of a long-value tree, in leaf-chain order, as a lookup of one id would meet it.
// A lookup returns exactly what walking the chain from its leftmost leaf up to the first larger id
// would gather, whatever the order of the ids along the chain.
class LongValueIndex {
 public:
  // Walks the tree rooted at root_page once. Fails only when the root or a page on the way down to the
  // leftmost leaf cannot be read.
  static Result<LongValueIndex> build(const Database& db, std::uint32_t root_page);

  // The joined bytes of long value `id`; compressed chunks are expanded when the column is compressed.
  std::string gather(std::uint32_t id, const ColumnInfo& column) const;

 private:
  struct Item {
    std::uint32_t id;
    std::uint32_t segment_offset;
    bool is_root;  // key of 4..7 bytes: the root record of a long value
    Bytes data;    // borrowed from the mapping
  };
  std::vector<Item> items_;                   // leaf-chain order
  std::vector<std::uint32_t> by_id_;          // positions in items_, stable-sorted by id
  std::vector<std::uint32_t> min_pos_after_;  // min position among by_id_[k..]; size by_id_.size() + 1
};

}  // namespace pw
