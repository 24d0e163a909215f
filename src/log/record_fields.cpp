#include "record_fields.hpp"

#include "log_layout.hpp"
#include "record_types.hpp"

namespace pw {
namespace {

namespace L = log_layout;
namespace T = log_layout::type;

bool is_node_record(std::uint8_t type) noexcept {
  switch (type) {
    case T::kInsert:
    case T::kFlagInsert:
    case T::kFlagInsertAndReplaceData:
    case T::kFlagDelete:
    case T::kReplace:
    case T::kReplaceDiff:
    case T::kDelete:
    case T::kUndoInfo:
    case T::kDelta:
    case T::kSetExternalHeader:
    case T::kUndo:
    case T::kEmptyTree:
    case T::kScrub:
    case T::kDelta64:
      return true;
    default:
      return false;
  }
}

// Page records that are not node records, with where their tree's object id lies.
std::optional<std::size_t> page_record_object_id_at(std::uint8_t type) noexcept {
  switch (type) {
    case T::kCreateMultipleExtentFdp:
    case T::kCreateSingleExtentFdp:
    case T::kConvertFdpObsolete:
    case T::kConvertFdp:
      return L::kFdpObjectId;
    case T::kSplit:
    case T::kSplit2:
      return L::kSplitObjectId;
    case T::kMerge:
    case T::kMerge2:
      return L::kMergeObjectId;
    case T::kPageMove:
      return L::kPageMoveObjectId;
    default:
      return std::nullopt;
  }
}

}  // namespace

bool changes_page(std::uint8_t type) noexcept {
  return (is_node_record(type) && type != T::kUndoInfo) || page_record_object_id_at(type) || type == T::kNewPage;
}

std::optional<PageRecordFields> page_record_fields(Bytes r) noexcept {
  if (r.empty()) return std::nullopt;
  const std::uint8_t type = r[0];
  PageRecordFields f;
  if (type == T::kNewPage) {  // a page newly formatted for a tree: its own short layout
    if (r.size() < fixed_log_record_size(type)) return std::nullopt;
    f.session = read_u16le(r, L::kSession).value_or(0);
    f.dbid = read_u8(r, L::kPageDbid).value_or(0);
    f.page = read_u32le(r, L::kNewPageNumber).value_or(0);
    f.object_id = read_u32le(r, L::kNewPageObjectId).value_or(0);
    f.dbtime = read_u64le(r, L::kNewPageDbtime).value_or(0);
    f.dbtime_before = ~std::uint64_t{0};
    return f;
  }
  const bool node = is_node_record(type);
  const auto object_at = page_record_object_id_at(type);
  if (!node && !object_at) return std::nullopt;
  if (r.size() < (node ? L::kNodeHeaderSize : L::kPageHeaderSize)) return std::nullopt;
  f.session = read_u16le(r, L::kSession).value_or(0);
  f.dbid = read_u8(r, L::kPageDbid).value_or(0);
  f.page = read_u32le(r, L::kPageNumber).value_or(0);
  f.dbtime = read_u64le(r, L::kPageDbtime).value_or(0);
  f.dbtime_before = read_u64le(r, L::kPageDbtimeBefore).value_or(0);
  f.trx_begin0 = read_u32le(r, L::kPageTrxBegin0).value_or(0);
  f.level = read_u8(r, L::kPageLevel).value_or(0);
  f.line = read_u16le(r, L::kPageLine).value_or(0);
  f.flags = read_u8(r, L::kPageFlags).value_or(0);
  if (node) {
    f.node = true;
    f.rceid = read_u32le(r, L::kNodeRceid).value_or(0);
    f.fdp_page = read_u32le(r, L::kNodeFdpPage).value_or(0);
    f.object_id = read_u32le(r, L::kNodeObjectId).value_or(0);
  } else if (auto id = read_u32le(r, *object_at)) {
    f.object_id = *id;
  }
  return f;
}

std::optional<NodeImage> node_image(Bytes r) noexcept {
  if (r.empty()) return std::nullopt;
  NodeImage image;
  switch (r[0]) {
    case T::kInsert: {
      const std::size_t suffix = read_u16le(r, L::kInsertSuffixSize).value_or(0);
      const std::size_t prefix = read_u16le(r, L::kInsertPrefixSize).value_or(0);
      const std::size_t data = read_u16le(r, L::kInsertDataSize).value_or(0);
      if (r.size() < L::kInsertKey || !fits(r, L::kInsertKey, prefix + suffix + data)) return std::nullopt;
      image.key_prefix = r.subspan(L::kInsertKey, prefix);
      image.key = r.subspan(L::kInsertKey + prefix, suffix);
      image.data = r.subspan(L::kInsertKey + prefix + suffix, data);
      return image;
    }
    case T::kFlagInsert:
    case T::kFlagInsertAndReplaceData: {
      const std::size_t at = r[0] == T::kFlagInsert ? L::kFlagInsertKey : L::kFlagInsertReplaceKey;
      const std::size_t key = read_u16le(r, L::kFlagInsertKeySize).value_or(0);
      const std::size_t data = read_u16le(r, L::kFlagInsertDataSize).value_or(0);
      if (r.size() < at || !fits(r, at, key + data)) return std::nullopt;
      image.key = r.subspan(at, key);
      image.data = r.subspan(at + key, data);
      return image;
    }
    case T::kReplace:
    case T::kReplaceDiff: {
      const std::uint16_t word = read_u16le(r, L::kReplaceSize).value_or(0);
      const std::size_t size = word & L::kReplaceSizeMask;
      if (r.size() < L::kReplaceData || !fits(r, L::kReplaceData, size)) return std::nullopt;
      image.data = r.subspan(L::kReplaceData, size);
      image.old_size = read_u16le(r, L::kReplaceOldSize).value_or(0);
      image.new_size = read_u16le(r, L::kReplaceNewSize).value_or(0);
      if (r[0] == T::kReplaceDiff) {
        image.kind = NodeImageKind::Diff;
        image.second_diff_form = (word & L::kReplaceSecondDiffForm) != 0;
      }
      return image;
    }
    default:
      return std::nullopt;
  }
}

std::optional<TransactionFields> transaction_fields(Bytes r) noexcept {
  if (r.empty() || r.size() < fixed_log_record_size(r[0])) return std::nullopt;
  TransactionFields t;
  t.session = read_u16le(r, L::kSession).value_or(0);
  switch (r[0]) {
    case T::kBegin:
    case T::kBegin0:
    case T::kBeginDistributed: {
      const std::uint8_t levels = read_u8(r, L::kBeginLevels).value_or(0);
      t.step = TransactionStep::Begin;
      t.level = levels & 0x0F;
      t.levels = levels >> 4;
      if (r[0] != T::kBegin) t.trx = read_u32le(r, L::kBeginTrx);
      return t;
    }
    case T::kCommit:
    case T::kCommit0:
      t.step = TransactionStep::Commit;
      t.level = read_u8(r, L::kCommitLevel).value_or(0);
      if (r[0] == T::kCommit0) t.trx = read_u32le(r, L::kCommitTrx);
      return t;
    case T::kRollback:
      t.step = TransactionStep::Rollback;
      t.levels = read_u8(r, L::kRollbackLevels).value_or(0);
      return t;
    default:
      return std::nullopt;
  }
}

}  // namespace pw
