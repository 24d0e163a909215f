#include "live_records.hpp"

#include <algorithm>
#include <functional>
#include <string>

#include "../btree/page_chain.hpp"
#include "../database.hpp"

namespace pw {
namespace {

std::uint64_t hash_of(std::string_view bytes) noexcept { return std::hash<std::string_view>{}(bytes); }
std::string_view as_view(Bytes b) noexcept { return {reinterpret_cast<const char*>(b.data()), b.size()}; }
std::uint64_t record_hash(Bytes record) noexcept { return hash_of(as_view(record)); }

}  // namespace

LiveRecords LiveRecords::build(const Database& db, const TableInfo& table) {
  LiveRecords live;
  WalkCounts counts;
  auto start = descend_leftmost(db, table.father_data_page, OnBadBranch::StopHere, counts);
  if (!start) return live;
  LeafWalk walk(db, std::move(*start), LeafKind::DataLeaf, OnUnreadablePage::EndWalk);
  LeafItem item;
  std::string key;
  while (true) {
    auto more = walk.next(item);
    if (!more || !*more) break;
    if (item.node.flags & kTagFlagDeleted) continue;
    full_key(item, key);
    live.by_key_.push_back({hash_of(key), item.entry.data});
  }
  std::sort(live.by_key_.begin(), live.by_key_.end());
  return live;
}

bool LiveRecords::has_record(Bytes record) {
  if (by_record_.empty() && !by_key_.empty()) {
    by_record_.reserve(by_key_.size());
    for (const Entry& e : by_key_) by_record_.push_back({record_hash(e.record), e.record});
    std::sort(by_record_.begin(), by_record_.end());
  }
  const Entry probe{record_hash(record), {}};
  for (auto it = std::lower_bound(by_record_.begin(), by_record_.end(), probe);
       it != by_record_.end() && it->hash == probe.hash; ++it) {
    if (std::equal(it->record.begin(), it->record.end(), record.begin(), record.end())) return true;
  }
  return false;
}

std::optional<Bytes> LiveRecords::record_of_key(std::string_view key) const {
  const Entry probe{hash_of(key), {}};
  const auto it = std::lower_bound(by_key_.begin(), by_key_.end(), probe);
  if (it == by_key_.end() || it->hash != probe.hash) return std::nullopt;
  return it->record;
}

}  // namespace pw
