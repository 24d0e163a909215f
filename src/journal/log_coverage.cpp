#include "log_coverage.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "../database.hpp"
#include "../log/record_fields.hpp"

namespace pw {
namespace {

constexpr std::size_t kListLimit = 1000;
constexpr std::uint64_t kNotChecked = ~std::uint64_t{0};

// Table (position in the catalog) of every tree: data, indexes, long values.
std::unordered_map<std::uint32_t, std::size_t> tree_owners(const Database& db) {
  std::unordered_map<std::uint32_t, std::size_t> owners;
  std::size_t k = 0;
  for (const auto& [name, table] : db.tables()) {
    owners.emplace(table.object_id, k);
    for (const auto& [index_name, index] : table.indexes) owners.emplace(index.object_id, k);
    for (const auto& [lv_name, lv] : table.long_values) owners.emplace(lv.object_id, k);
    ++k;
  }
  return owners;
}

void check_generations(const Database& db, const LogSet& logs, LogCoverage& out) {
  const FileHeader& h = db.header();
  const auto signature = logs.signature();
  out.signature_matches = signature && *signature == h.log_signature;
  for (const Generation& g : logs.generations()) {
    if (!(logs.files()[g.file].log->signature == h.log_signature)) continue;
    if (!out.lowest) out.lowest = g.number;
    out.highest = g.number;
  }
  out.required_min = h.gen_min_required;
  out.required_max = std::max(h.gen_max_required, h.gen_max_committed);
  if (out.required_min == 0) {
    out.covered = true;  // a consistent database requires no log
    return;
  }
  // Every generation from the first required one to the newest present: a gap ends what replay can reach.
  const std::uint32_t last = std::max(out.required_max, out.highest.value_or(0));
  for (std::uint64_t n = out.required_min; n <= last; ++n) {
    const Generation* g = logs.generation(static_cast<std::uint32_t>(n));
    const bool ours = g && logs.files()[g->file].log->signature == h.log_signature;
    if (!ours) {
      ++out.missing_count;
      if (out.missing.size() < kListLimit) out.missing.push_back(static_cast<std::uint32_t>(n));
    } else if (g->summary.damage.any() && out.damaged.size() < kListLimit) {
      out.damaged.push_back(g->number);
    }
  }
  out.covered = out.signature_matches && out.missing_count == 0 && out.damaged.empty();
}

}  // namespace

Result<LogCoverage> log_coverage(const Database& db, const LogSet& logs) {
  LogCoverage out;
  check_generations(db, logs, out);
  std::unordered_set<std::uint8_t> dbids;
  for (const AttachedDatabase& a : logs.databases()) {
    if (a.database_signature == db.header().database_signature) dbids.insert(a.dbid);
  }
  out.database_named = !dbids.empty();
  const auto owners = tree_owners(db);
  std::vector<TableLogChanges> tables(db.tables().size());
  std::size_t k = 0;
  for (const auto& [name, table] : db.tables()) tables[k++].table = name;

  std::unordered_map<std::uint32_t, std::uint64_t> replayed;  // page -> its time once the newer changes are applied
  LogSetReader reader(logs);
  LogRecord record;
  for (;;) {
    auto more = reader.next(record);
    if (!more) return std::move(more).error();
    if (!*more) break;
    if (!changes_page(record.type()) || !(logs.files()[reader.generation().file].log->signature ==
                                          db.header().log_signature))
      continue;
    const auto f = page_record_fields(record.bytes);
    if (!f || (out.database_named && !dbids.count(f->dbid))) continue;
    ++out.page_changes;
    const auto owner = f->object_id ? owners.find(*f->object_id) : owners.end();
    TableLogChanges* t = owner != owners.end() ? &tables[owner->second] : nullptr;
    if (t) ++t->changes;
    auto page = db.read_page(f->page);
    const bool past_end = !page;
    const std::uint64_t on_disk = page ? page->header.database_time : 0;
    if (!past_end && f->dbtime <= on_disk) continue;
    ++out.newer;
    if (past_end) ++out.pages_past_end;
    if (t) {
      ++t->newer;
    } else {
      ++out.newer_unattributed;
    }
    auto [it, fresh] = replayed.try_emplace(f->page, on_disk);
    if (f->dbtime > it->second) {
      if (!past_end && f->dbtime_before != kNotChecked && f->dbtime_before != it->second && t) ++t->out_of_sequence;
      it->second = f->dbtime;
    }
    (void)fresh;
  }
  for (TableLogChanges& t : tables) {
    if (t.changes) out.tables.push_back(std::move(t));
  }
  return out;
}

}  // namespace pw
