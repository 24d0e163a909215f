#include "record_types.hpp"

#include <array>

#include "log_layout.hpp"

namespace pw {
namespace {

namespace L = log_layout;

struct TypeInfo {
  std::string_view name;
  std::uint16_t fixed;  // 0: no engine writes records of this type
};

// By type code. Fixed sizes are those of the engine's packed record structures.
constexpr std::array<TypeInfo, L::type::kCount> kTypes = {{
    {"NOP", 1},
    {"Init", 568},
    {"Term", 18},
    {"MS", 9},
    {"End", 1},
    {"Begin", 4},
    {"Commit", 4},
    {"Rollback", 4},
    {"Begin0", 8},
    {"Commit0", 8},
    {"Refresh", 7},
    {"MacroBegin", 11},
    {"MacroCommit", 11},
    {"MacroAbort", 11},
    {"CreateDB", 43},
    {"AttachDB", 75},
    {"DetachDB", 7},
    {"RecoveryUndo", 1},
    {"RecoveryQuit", 18},
    {"FullBackup", 3},
    {"IncBackup", 3},
    {"JetOp", 4},
    {"Trace", 5},
    {"ShutDownMark", 1},
    {"CreateMultipleExtentFDP", 56},
    {"CreateSingleExtentFDP", 48},
    {"ConvertFDPObsolete", 60},
    {"Split", 102},
    {"Merge", 88},
    {"Insert", 50},
    {"FlagInsert", 48},
    {"FlagInsertAndReplaceData", 52},
    {"FlagDelete", 44},
    {"Replace", 50},
    {"ReplaceD", 50},
    {"Delete", 44},
    {"UndoInfo", 56},
    {"Delta", 54},
    {"SetExternalHeader", 46},
    {"Undo", 51},
    {"SLVPageAppend", 0},
    {"SLVSpace", 0},
    {"Checksum", 22},
    {"SLVPageMove", 0},
    {"ForceDetachDB", 0},
    {"ExtRestore", 3},
    {"Backup", 5},
    {"UpgradeDB", 0},
    {"EmptyTree", 46},
    {"Init2", 576},
    {"Term2", 26},
    {"RecoveryUndo2", 9},
    {"RecoveryQuit2", 26},
    {"BeginDT", 8},
    {"PrepCommit", 7},
    {"PrepRollback", 0},
    {"DbList", 0},
    {"ForceWriteLog", 3},
    {"ConvertFDP", 68},
    {"ExtRestore2", 3},
    {"Backup2", 35},
    {"ForceLogRollover", 5},
    {"Split2", 110},
    {"Merge2", 96},
    {"Scrub", 54},
    {"PageMove", 96},
    {"PagePatchRequest", 46},
    {"MacroInfo", 5},
    {"ExtendDB", 5},
    {"CommitCtx", 5},
    {"ScanCheck", 5},
    {"NOP2", 5},
    {"ReAttach", 5},
    {"MacroInfo2", 5},
    {"FreeFDP", 5},
    {"Ignored9", 5},
    {"FragmentBegin", 7},
    {"Fragment", 3},
    {"ShrinkDB", 10},
    {"CreateDBFinish", 4},
    {"RecoveryQuitKeepAttachments", 26},
    {"TrimDB", 10},
    {"Ignored10", 5},
    {"Ignored11", 5},
    {"Ignored12", 5},
    {"Ignored13", 5},
    {"Ignored14", 5},
    {"Ignored15", 5},
    {"Ignored16", 5},
    {"Ignored17", 5},
    {"Ignored18", 5},
    {"Ignored19", 5},
    {"SetDbVersion", 14},
    {"Delta64", 58},
    {"ShrinkDB2", 10},
    {"NewPage", 20},
    {"RootPageMove", 16},
    {"SignalAttachDb", 2},
    {"ScanCheck2", 27},
    {"ShrinkDB3", 18},
    {"ExtentFreed", 11},
    {"ExtentFreed2", 19},
}};

std::uint64_t u16_at(Bytes r, std::size_t at) noexcept { return read_u16le(r, at).value_or(0); }
std::uint64_t u32_at(Bytes r, std::size_t at) noexcept { return read_u32le(r, at).value_or(0); }

// What the length fields of a record of `type` add to its fixed part (the fixed part is present).
std::uint64_t variable_size(std::uint8_t type, Bytes r) noexcept {
  namespace T = L::type;
  if ((type >= T::kFirstIgnorable && type <= T::kLastIgnorable) ||
      (type >= T::kFirstIgnorable2 && type <= T::kLastIgnorable2))
    return u32_at(r, L::kIgnorableSize);
  switch (type) {
    case T::kCreateDb:
      return u16_at(r, L::kCreateDbNamesSize) +
             ((r[L::kCreateDbFlags] & L::kCreateDbVersionInfo) ? L::kCreateDbVersionInfoSize : 0);
    case T::kAttachDb:
      return u16_at(r, L::kAttachDbNamesSize);
    case T::kDetachDb:
      return u16_at(r, L::kDetachDbNamesSize);
    case T::kFullBackup:
    case T::kIncrementalBackup:
    case T::kExternalRestore:
    case T::kExternalRestore2:
      return u16_at(r, 1);
    case T::kBackupObsolete:
    case T::kTrace:
    case T::kForceLogRollover:
      return u16_at(r, 3);
    case T::kBackup2:
      return u16_at(r, 33);
    case T::kPrepareCommit:
      return u32_at(r, 3);
    case T::kSplit:
      return u16_at(r, L::kSplitParentKey) + u16_at(r, L::kSplitPrefixOld) + u16_at(r, L::kSplitPrefixNew);
    case T::kSplit2:
      return u16_at(r, L::kSplitParentKey) + u16_at(r, L::kSplitPrefixOld) + u16_at(r, L::kSplitPrefixNew) +
             u32_at(r, L::kSplitBeforeImage);
    case T::kMerge:
      return u16_at(r, L::kMergeParentKey);
    case T::kMerge2:
      return u16_at(r, L::kMergeParentKey) + u32_at(r, L::kMergeBeforeImage);
    case T::kPageMove:
      return u32_at(r, L::kPageMoveHeader) + u32_at(r, L::kPageMoveTrailer);
    case T::kInsert:
      return u16_at(r, L::kInsertSuffixSize) + u16_at(r, L::kInsertPrefixSize) + u16_at(r, L::kInsertDataSize);
    case T::kFlagInsert:
    case T::kFlagInsertAndReplaceData:
      return u16_at(r, L::kFlagInsertKeySize) + u16_at(r, L::kFlagInsertDataSize);
    case T::kReplace:
    case T::kReplaceDiff:
      return u16_at(r, L::kReplaceSize) & L::kReplaceSizeMask;
    case T::kUndoInfo:  // bookmark key and data, then the before image
      return u16_at(r, 44) + u16_at(r, 46) + u16_at(r, 54);
    case T::kDelta:
    case T::kDelta64:
    case T::kUndo:  // bookmark key and data
      return u16_at(r, 44) + u16_at(r, 46);
    case T::kSetExternalHeader:
    case T::kEmptyTree:
      return u16_at(r, 44);
    case T::kScrub:
      return u16_at(r, 52);
    case T::kFragmentBegin:
      return u16_at(r, L::kFragmentBeginSize);
    case T::kFragment:
      return u16_at(r, L::kFragmentSize);
    default:
      return 0;
  }
}

}  // namespace

std::string_view log_record_type_name(std::uint8_t type) noexcept {
  return type < kTypes.size() ? kTypes[type].name : std::string_view("Unknown");
}

bool parse_log_record_type(std::string_view name, std::uint8_t& out) noexcept {
  for (std::size_t k = 0; k < kTypes.size(); ++k) {
    if (kTypes[k].name == name) {
      out = static_cast<std::uint8_t>(k);
      return true;
    }
  }
  return false;
}

std::uint32_t fixed_log_record_size(std::uint8_t type) noexcept {
  return type < kTypes.size() ? kTypes[type].fixed : 0;
}

RecordSize log_record_size(Bytes record) noexcept {
  if (record.empty()) return {RecordSizeStatus::Truncated, 0};
  const std::uint8_t type = record[0];
  const std::uint32_t fixed = fixed_log_record_size(type);
  if (fixed == 0) return {RecordSizeStatus::UnknownType, 0};
  if (record.size() < fixed) return {RecordSizeStatus::Truncated, fixed};
  return {RecordSizeStatus::Ok, fixed + variable_size(type, record)};
}

}  // namespace pw
