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
  live.file_ = db.file_bytes();
  WalkCounts counts;
  auto start = descend_leftmost(db, table.father_data_page, OnBadBranch::StopHere, counts);
  if (!start) return live;
  LeafWalk walk(db, std::move(*start), LeafKind::DataLeaf, OnUnreadablePage::EndWalk);
  LeafItem item;
  std::string key;
  const std::uint8_t* base = live.file_.data();
  while (true) {
    auto more = walk.next(item);
    if (!more || !*more) break;
    if (item.node.flags & kTagFlagDeleted) continue;
    const Bytes record = item.entry.data;
    const auto at = static_cast<std::uint64_t>(record.data() - base);
    const auto length = static_cast<std::uint32_t>(record.size());
    full_key(item, key);
    live.by_key_.push_back({hash_of(key), at, length});
  }
  std::sort(live.by_key_.begin(), live.by_key_.end());
  return live;
}

bool LiveRecords::has_record(Bytes record) {
  if (by_record_.empty() && !by_key_.empty()) {
    by_record_.reserve(by_key_.size());
    for (const Entry& e : by_key_) by_record_.push_back({record_hash(bytes_of(e)), e.at, e.length});
    std::sort(by_record_.begin(), by_record_.end());
  }
  const Entry probe{record_hash(record), 0, 0};
  for (auto it = std::lower_bound(by_record_.begin(), by_record_.end(), probe);
       it != by_record_.end() && it->hash == probe.hash; ++it) {
    const Bytes live = bytes_of(*it);
    if (std::equal(live.begin(), live.end(), record.begin(), record.end())) return true;
  }
  return false;
}

std::optional<Bytes> LiveRecords::record_of_key(std::string_view key) const {
  const Entry probe{hash_of(key), 0, 0};
  const auto it = std::lower_bound(by_key_.begin(), by_key_.end(), probe);
  if (it == by_key_.end() || it->hash != probe.hash) return std::nullopt;
  return bytes_of(*it);
}

}  // namespace pw
