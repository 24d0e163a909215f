// The fields of the log records a reader interprets: page records (which page, which times, which tree),
// the node images of inserts and replaces, and the transaction records of each session.
#pragma once

#include <cstdint>
#include <optional>

#include "../utils/bytes.hpp"

namespace pw {

// The common part of every record that changes a page (LRPAGE_), and of node records (LRNODE_).
struct PageRecordFields {
  std::uint16_t session = 0;  // procid
  std::uint8_t dbid = 0;
  std::uint32_t page = 0;
  std::uint64_t dbtime = 0;         // the page's time after the change
  std::uint64_t dbtime_before = 0;  // the time the page carried before it (all ones: not checked)
  std::uint32_t trx_begin0 = 0;
  std::uint8_t level = 0;
  std::uint16_t line = 0;  // the node's line on the page: its tag, counting from the first entry
  std::uint8_t flags = 0;  // log_layout::kFlagVersioned, kFlagDeleted, kFlagUnique, kFlagSpace
  bool node = false;       // the fields below are present
  std::uint32_t rceid = 0, fdp_page = 0;
  std::optional<std::uint32_t> object_id;  // of the tree changed (node, split, merge, page-move and FDP records)
};

// Nothing for records that change no page (or too short for the fields).
std::optional<PageRecordFields> page_record_fields(Bytes record) noexcept;
// Whether a record of this type changes the page it names (what replaying applies under the redo rule).
bool changes_page(std::uint8_t type) noexcept;

enum class NodeImageKind : std::uint8_t { Full, Diff };
// The node a record writes: its key (for inserts) and its data (the after image), or for ReplaceD the
// difference from the before image.
struct NodeImage {
  Bytes key_prefix;  // Insert: the part of the key that the page's prefix holds
  Bytes key;         // Insert: the rest of the key; FlagInsert, FlagInsertAndReplaceData: the whole key
  Bytes data;        // the after image, or the difference
  NodeImageKind kind = NodeImageKind::Full;
  bool second_diff_form = false;  // ReplaceD of large pages: the u16 offset + flag byte form
  std::uint16_t old_size = 0, new_size = 0;  // Replace, ReplaceD: sizes of the before and after images
};
// Insert, FlagInsert, FlagInsertAndReplaceData, Replace, ReplaceD; nothing for others or records too short.
std::optional<NodeImage> node_image(Bytes record) noexcept;

enum class TransactionStep : std::uint8_t { Begin, Commit, Rollback };
struct TransactionFields {
  TransactionStep step = TransactionStep::Begin;
  std::uint16_t session = 0;
  std::uint8_t level = 0;   // Begin: the level begun from; Commit: the level committed to
  std::uint8_t levels = 0;  // Begin: how many levels begin; Rollback: how many are rolled back
  std::optional<std::uint32_t> trx;  // Begin0: trxBegin0; Commit0: trxCommit0
};
// Begin, Begin0, BeginDT, Commit, Commit0, Rollback; nothing for others.
std::optional<TransactionFields> transaction_fields(Bytes record) noexcept;

}  // namespace pw
