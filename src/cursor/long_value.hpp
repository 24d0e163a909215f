// Long values: the table's long-value tree, indexed once per cursor, and the joining of a value's chunks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../btree/walk_counts.hpp"
#include "../catalog/table_info.hpp"
#include "../record/decompress.hpp"
#include "../result.hpp"
#include "../utils/bytes.hpp"

namespace pw {

class Database;

// A record's reference to a separated long value: the id stored little-endian in 4 bytes (older databases)
// or 8 bytes (newer ones). In the tree the id's bytes are reversed (big-endian) to form the key.
struct LongValueRef {
  std::uint64_t id = 0;
  std::uint8_t width = 4;
};

// The reference a tagged value holds, or nothing when its length is neither 4 nor 8 bytes.
std::optional<LongValueRef> parse_long_value_ref(Bytes reference) noexcept;

// Every leaf entry of a long-value tree, found by id wherever it lies in the tree: a root record (key = id;
// data = reference count, logical size) and chunks (key = id + big-endian offset). Each key is kept once: the
// first entry of the leaf chain with a given id and offset wins.
class LongValueIndex {
 public:
  // Walks the tree rooted at root_page once. Fails only when the root or a page on the way down to the
  // leftmost leaf cannot be read.
  static Result<LongValueIndex> build(const Database& db, std::uint32_t root_page);

  // The joined bytes of a long value, never longer than its stated size (nor, without one, than its chunks
  // hold once each); compressed chunks are expanded when the column is compressed. Nothing when the tree
  // holds no entry of that id. `unreadable` (when given) is set when the joined bytes are not the value: a
  // chunk in a scheme not decoded or corrupt (joined as stored), or a column whose values are encrypted.
  std::optional<std::string> gather(LongValueRef ref, const ColumnInfo& column,
                                    std::optional<Unreadable>* unreadable = nullptr) const;

  // Whether the tree holds an entry of that id, so that gather() gives a value (without joining it).
  bool contains(LongValueRef ref) const noexcept;

  const WalkCounts& counts() const noexcept { return counts_; }

 private:
  struct Item {
    std::uint64_t id;
    std::uint32_t offset;    // chunks: logical byte offset
    std::uint32_t position;  // in leaf-chain order
    bool is_root;
    Bytes data;  // borrowed from the mapping
  };
  static void sort_and_dedupe(std::vector<Item>& items);

  std::vector<Item> narrow_;  // keys read under 4-byte ids, by (id, root first, offset)
  std::vector<Item> wide_;    // keys read under 8-byte ids
  WalkCounts counts_;
};

}  // namespace pw
