#include "table_scan.hpp"

#include "../btree/page_chain.hpp"
#include "../database.hpp"

namespace pw {

Result<TableScan> scan_table(const Database& db, const std::string& name) {
  const TableInfo* table = db.tables().find(name);
  if (!table) return EseError::table_not_found(name);
  TableScan scan;
  auto start = descend_leftmost(db, table->father_data_page, OnBadBranch::Fail, scan.counts);
  if (!start) return std::move(start).error();
  LeafWalk walk(db, std::move(*start), LeafKind::DataLeaf, OnUnreadablePage::Fail);
  NodeEntry node;
  for (;;) {
    auto more = walk.next_node(node);
    if (!more) return std::move(more).error();
    if (!*more) break;
    // As the cursor would: an entry too short for its key size fields is passed over.
    if (node.bytes.size() < ((node.flags & kTagFlagCommonKey) ? 4u : 2u)) {
      ++scan.counts.bad_entries;
      continue;
    }
    ++scan.entries;
    if (node.flags & kTagFlagDeleted) ++scan.deleted;
  }
  scan.counts += walk.counts();
  return scan;
}

}  // namespace pw
