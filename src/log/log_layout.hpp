// The on-disk layout of ESE transaction logs: the log file and checkpoint headers, the attach list, the
// 4 096-byte segments, the record types and the fields of the records a reader decodes. Little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pw::log_layout {

// File types at offset 667 of database, log and checkpoint headers.
inline constexpr std::uint32_t kFileTypeDatabase = 1;
inline constexpr std::uint32_t kFileTypeLog = 3;
inline constexpr std::uint32_t kFileTypeCheckpoint = 4;
inline constexpr std::size_t kFileType = 667;  // u32, in every header

// Log and checkpoint headers: 4 096 bytes; the checksum is the XOR of the u32 words of [4, 4096) seeded with
// 0x89ABCDEF (the database header's rule, whose signature word cancels the seed).
inline constexpr std::size_t kHeaderSize = 4096;
inline constexpr std::size_t kHeaderChecksum = 0;
inline constexpr std::uint32_t kHeaderChecksumSeed = 0x89ABCDEF;

// Log file header (LGFILEHDR).
inline constexpr std::size_t kGeneration = 4;         // u32
inline constexpr std::size_t kSectorSize = 8;         // u16: bytes per sector (one segment per sector)
inline constexpr std::size_t kHeaderSectors = 10;     // u16: sectors the header takes (data starts after them)
inline constexpr std::size_t kFileSectors = 12;       // u16: sectors of the whole file
inline constexpr std::size_t kDatabasePageSize = 14;  // u16: 0 means 4096
inline constexpr std::size_t kCreated = 16;           // log time of this generation's creation
inline constexpr std::size_t kPreviousCreated = 24;   // log time of the previous generation's creation
inline constexpr std::size_t kVersionMajor = 32;      // u32
inline constexpr std::size_t kVersionMinor = 36;      // u32 (4000 on every segmented log)
inline constexpr std::size_t kUpdateMajor = 40;       // u32
inline constexpr std::size_t kLogSignature = 44;      // signature of the log stream
inline constexpr std::size_t kLogFlags = 639;         // u8: 0x01 a reserve log, 0x02 circular logging, 0x04 it was on
inline constexpr std::size_t kCheckpointAtCreation = 640;  // log position
inline constexpr std::size_t kUpdateMinor = 648;           // u32
inline constexpr std::size_t kLogAttachList = 671;         // 2 048 bytes of attach infos

// Logs of this major version and later are cut into segments; older ones use another layout.
inline constexpr std::uint32_t kFirstSegmentedMajor = 8;

// Checkpoint file (CHECKPOINT); its shadow copy is the next 4 096 bytes.
inline constexpr std::size_t kCheckpointPosition = 12;          // log position: where recovery starts
inline constexpr std::size_t kCheckpointSignature = 20;         // signature of the log stream
inline constexpr std::size_t kCheckpointVersion = 647;          // u8: bit 0 set when the attach list is present
inline constexpr std::size_t kCheckpointConsistentPosition = 648;  // log position
inline constexpr std::size_t kCheckpointAttachList = 679;
inline constexpr std::uint8_t kCheckpointHasAttachList = 0x01;

// Attach list: attach infos back to back; a dbid of 0 ends it.
inline constexpr std::size_t kAttachListSize = 2048;
inline constexpr std::size_t kAttachDbid = 0;               // u8
inline constexpr std::size_t kAttachFlags = 1;              // u8: 0x20 names in UTF-16LE
inline constexpr std::size_t kAttachNamesSize = 2;          // u16: bytes of names
inline constexpr std::size_t kAttachDbtime = 4;             // u64
inline constexpr std::size_t kAttachLastObjectId = 12;      // u32
inline constexpr std::size_t kAttachPosition = 20;          // log position
inline constexpr std::size_t kAttachConsistentPosition = 28;  // log position
inline constexpr std::size_t kAttachDatabaseSignature = 36;   // signature
inline constexpr std::size_t kAttachNames = 64;
inline constexpr std::uint8_t kAttachUnicodeNames = 0x20;

// Segments (LGSEGHDR): every sector after the header; the last sector of the file is never written.
inline constexpr std::size_t kSegmentSize = 4096;
inline constexpr std::size_t kSegmentChecksum = 0;  // u64: a page's XOR-ECC checksum, the sector as page number
inline constexpr std::size_t kSegmentPosition = 8;  // log position: (generation, sector, 0) when the segment is current
inline constexpr std::size_t kSegmentTime = 16;     // log time of the segment's first write
inline constexpr std::size_t kSegmentFlags = 36;    // u32: 0x2000, the page flag of the new checksum form
inline constexpr std::size_t kSegmentHeaderSize = 40;

// Record types (the first byte of every record).
namespace type {
inline constexpr std::uint8_t kNop = 0;
inline constexpr std::uint8_t kInit = 1;
inline constexpr std::uint8_t kTerm = 2;
inline constexpr std::uint8_t kMultiSectorFlush = 3;
inline constexpr std::uint8_t kEnd = 4;
inline constexpr std::uint8_t kBegin = 5;
inline constexpr std::uint8_t kCommit = 6;
inline constexpr std::uint8_t kRollback = 7;
inline constexpr std::uint8_t kBegin0 = 8;
inline constexpr std::uint8_t kCommit0 = 9;
inline constexpr std::uint8_t kRefresh = 10;
inline constexpr std::uint8_t kMacroBegin = 11;
inline constexpr std::uint8_t kMacroCommit = 12;
inline constexpr std::uint8_t kMacroAbort = 13;
inline constexpr std::uint8_t kCreateDb = 14;
inline constexpr std::uint8_t kAttachDb = 15;
inline constexpr std::uint8_t kDetachDb = 16;
inline constexpr std::uint8_t kRecoveryUndo = 17;
inline constexpr std::uint8_t kFullBackup = 19;
inline constexpr std::uint8_t kIncrementalBackup = 20;
inline constexpr std::uint8_t kTrace = 22;
inline constexpr std::uint8_t kCreateMultipleExtentFdp = 24;
inline constexpr std::uint8_t kCreateSingleExtentFdp = 25;
inline constexpr std::uint8_t kConvertFdpObsolete = 26;
inline constexpr std::uint8_t kSplit = 27;
inline constexpr std::uint8_t kMerge = 28;
inline constexpr std::uint8_t kInsert = 29;
inline constexpr std::uint8_t kFlagInsert = 30;
inline constexpr std::uint8_t kFlagInsertAndReplaceData = 31;
inline constexpr std::uint8_t kFlagDelete = 32;
inline constexpr std::uint8_t kReplace = 33;
inline constexpr std::uint8_t kReplaceDiff = 34;
inline constexpr std::uint8_t kDelete = 35;
inline constexpr std::uint8_t kUndoInfo = 36;
inline constexpr std::uint8_t kDelta = 37;
inline constexpr std::uint8_t kSetExternalHeader = 38;
inline constexpr std::uint8_t kUndo = 39;
inline constexpr std::uint8_t kChecksum = 42;
inline constexpr std::uint8_t kExternalRestore = 45;
inline constexpr std::uint8_t kBackupObsolete = 46;
inline constexpr std::uint8_t kEmptyTree = 48;
inline constexpr std::uint8_t kInit2 = 49;
inline constexpr std::uint8_t kRecoveryUndo2 = 51;
inline constexpr std::uint8_t kBeginDistributed = 53;
inline constexpr std::uint8_t kPrepareCommit = 54;
inline constexpr std::uint8_t kConvertFdp = 58;
inline constexpr std::uint8_t kExternalRestore2 = 59;
inline constexpr std::uint8_t kBackup2 = 60;
inline constexpr std::uint8_t kForceLogRollover = 61;
inline constexpr std::uint8_t kSplit2 = 62;
inline constexpr std::uint8_t kMerge2 = 63;
inline constexpr std::uint8_t kScrub = 64;
inline constexpr std::uint8_t kPageMove = 65;
inline constexpr std::uint8_t kFragmentBegin = 76;
inline constexpr std::uint8_t kFragment = 77;
inline constexpr std::uint8_t kDelta64 = 93;
inline constexpr std::uint8_t kNewPage = 95;
inline constexpr std::uint8_t kRootPageMove = 96;
// Types the engine reserved to be skipped by versions that do not know them: a u32 size follows the type.
inline constexpr std::uint8_t kFirstIgnorable = 67, kLastIgnorable = 75;
inline constexpr std::uint8_t kFirstIgnorable2 = 82, kLastIgnorable2 = 91;
// Types at and past this one do not exist.
inline constexpr std::uint8_t kCount = 102;
}  // namespace type

// Ignorable records: the type, then the size of what follows.
inline constexpr std::size_t kIgnorableSize = 1;  // u32
inline constexpr std::size_t kIgnorableHeader = 5;

// Fragments: a record longer than the room left in its segment is split; FragmentBegin carries the total size
// and the first piece, each Fragment (at the start of a following segment) the next piece.
inline constexpr std::size_t kFragmentBeginTotal = 1;  // u32
inline constexpr std::size_t kFragmentBeginSize = 5;   // u16
inline constexpr std::size_t kFragmentBeginHeader = 7;
inline constexpr std::size_t kFragmentSize = 1;  // u16
inline constexpr std::size_t kFragmentHeader = 3;

// Transaction records: the session (procid) first.
inline constexpr std::size_t kSession = 1;            // u16
inline constexpr std::size_t kBeginLevels = 3;        // u8: low nibble the level begun from, high nibble how many
inline constexpr std::size_t kBeginTrx = 4;           // u32 (Begin0)
inline constexpr std::size_t kCommitLevel = 3;        // u8: the level committed to (0: the transaction is durable)
inline constexpr std::size_t kCommitTrx = 4;          // u32 (Commit0)
inline constexpr std::size_t kRollbackLevels = 3;     // u8: how many levels are rolled back
inline constexpr std::size_t kMacroDbtime = 3;        // u64 (MacroBegin, MacroCommit, MacroAbort)

// Page records (LRPAGE_, 32 bytes).
inline constexpr std::size_t kPageDbid = 3;          // u8
inline constexpr std::size_t kPageNumber = 4;        // u32
inline constexpr std::size_t kPageDbtime = 8;        // u64: the page's database time after the change
inline constexpr std::size_t kPageDbtimeBefore = 16;  // u64: the time the page must carry before it
inline constexpr std::size_t kPageTrxBegin0 = 24;    // u32
inline constexpr std::size_t kPageLevel = 28;        // u8: the session's transaction level
inline constexpr std::size_t kPageLine = 29;         // u16: the node's line (its tag, counting from the first entry)
inline constexpr std::size_t kPageFlags = 31;        // u8
inline constexpr std::size_t kPageHeaderSize = 32;
// Node records (LRNODE_, 44 bytes): a page record of one node of a tree.
inline constexpr std::size_t kNodeRceid = 32;      // u32
inline constexpr std::size_t kNodeFdpPage = 36;    // u32: root page of the tree
inline constexpr std::size_t kNodeObjectId = 40;   // u32: object id of the tree
inline constexpr std::size_t kNodeHeaderSize = 44;
// Page record flags.
inline constexpr std::uint8_t kFlagVersioned = 0x01;
inline constexpr std::uint8_t kFlagDeleted = 0x02;
inline constexpr std::uint8_t kFlagUnique = 0x04;
inline constexpr std::uint8_t kFlagSpace = 0x08;

// Insert (LRINSERT): the key in two pieces (the part the page's prefix compresses, then the rest), then data.
inline constexpr std::size_t kInsertSuffixSize = 44;  // u16
inline constexpr std::size_t kInsertPrefixSize = 46;  // u16
inline constexpr std::size_t kInsertDataSize = 48;    // u16
inline constexpr std::size_t kInsertKey = 50;         // prefix bytes, suffix bytes, data
// FlagInsert (LRFLAGINSERT) and FlagInsertAndReplaceData (LRFLAGINSERTANDREPLACEDATA): key then data.
inline constexpr std::size_t kFlagInsertKeySize = 44;   // u16
inline constexpr std::size_t kFlagInsertDataSize = 46;  // u16
inline constexpr std::size_t kFlagInsertKey = 48;
inline constexpr std::size_t kFlagInsertReplaceKey = 52;  // after the u32 rceid of the replace at 48
// Replace and ReplaceD (LRREPLACE): the after image, or its difference from the before image.
inline constexpr std::size_t kReplaceSize = 44;      // u16: low 15 bits the size; bit 15 the second diff form
inline constexpr std::size_t kReplaceOldSize = 46;   // u16: size of the before image
inline constexpr std::size_t kReplaceNewSize = 48;   // u16: size of the after image
inline constexpr std::size_t kReplaceData = 50;
inline constexpr std::uint16_t kReplaceSizeMask = 0x7FFF;
inline constexpr std::uint16_t kReplaceSecondDiffForm = 0x8000;

// Replace differences: a header, the new length (1 or 2 bytes), for a replace of another length the old
// length, then the new bytes. The first form packs offset and flags in a u16 (offset in the low 13 bits, flags
// in the top 3); the second (large pages) has a u16 offset then a flag byte.
inline constexpr std::uint16_t kDiffOffsetMask = 0x1FFF;
inline constexpr unsigned kDiffFlagShift = 8;             // first-form flags >> 8 = second-form flag byte
inline constexpr std::uint8_t kDiffSameLength = 0x20;
inline constexpr std::uint8_t kDiffInsert = 0x40;
inline constexpr std::uint8_t kDiffTwoByteLengths = 0x80;

// Split and merge records (LRSPLIT_, LRMERGE_), object ids of other page records.
inline constexpr std::size_t kSplitObjectId = 64;
inline constexpr std::size_t kSplitPrefixOld = 96;    // u16
inline constexpr std::size_t kSplitPrefixNew = 98;    // u16
inline constexpr std::size_t kSplitParentKey = 100;   // u16
inline constexpr std::size_t kSplitBeforeImage = 106;  // u32 (Split2)
inline constexpr std::size_t kMergeObjectId = 72;
inline constexpr std::size_t kMergeParentKey = 86;    // u16
inline constexpr std::size_t kMergeBeforeImage = 92;  // u32 (Merge2)
inline constexpr std::size_t kFdpObjectId = 32;        // CreateMultipleExtentFDP, CreateSingleExtentFDP, ConvertFDP
inline constexpr std::size_t kPageMoveObjectId = 76;
inline constexpr std::size_t kPageMoveHeader = 88;     // u32
inline constexpr std::size_t kPageMoveTrailer = 92;    // u32
inline constexpr std::size_t kNewPageNumber = 4;       // u32
inline constexpr std::size_t kNewPageObjectId = 8;     // u32
inline constexpr std::size_t kNewPageDbtime = 12;      // u64
inline constexpr std::size_t kRootMoveDbtime = 1;      // u64
inline constexpr std::size_t kRootMoveObjectId = 10;   // u32

// Database records.
inline constexpr std::size_t kDatabaseDbid = 3;                 // u8
inline constexpr std::size_t kCreateDbSignature = 12;
inline constexpr std::size_t kCreateDbNamesSize = 40;           // u16
inline constexpr std::size_t kCreateDbFlags = 42;               // u8: 0x04 version info, 0x08 UTF-16LE names
inline constexpr std::size_t kCreateDbNames = 43;
inline constexpr std::uint8_t kCreateDbVersionInfo = 0x04;
inline constexpr std::uint8_t kCreateDbUnicodeNames = 0x08;
inline constexpr std::size_t kCreateDbVersionInfoSize = 4;      // before the names when flagged
inline constexpr std::size_t kAttachDbConsistentPosition = 8;
inline constexpr std::size_t kAttachDbSignature = 16;
inline constexpr std::size_t kAttachDbLogSignature = 44;
inline constexpr std::size_t kAttachDbNamesSize = 72;           // u16
inline constexpr std::size_t kAttachDbFlags = 74;               // u8: 0x08 UTF-16LE names
inline constexpr std::size_t kAttachDbNames = 75;
inline constexpr std::uint8_t kAttachDbUnicodeNames = 0x08;
inline constexpr std::size_t kDetachDbNamesSize = 4;            // u16
inline constexpr std::size_t kDetachDbFlags = 6;                // u8: 0x10 UTF-16LE names
inline constexpr std::size_t kDetachDbNames = 7;
inline constexpr std::uint8_t kDetachDbUnicodeNames = 0x10;

}  // namespace pw::log_layout
