#include "column_keys.hpp"

#include <unordered_map>
#include <unordered_set>

namespace pw {

void make_keys_distinct(std::vector<std::string>& keys, const std::vector<std::uint32_t>& ids) {
  std::unordered_map<std::string, std::size_t> last;  // key -> position of its last holder
  for (std::size_t k = 0; k < keys.size(); ++k) last[keys[k]] = k;
  if (last.size() == keys.size()) return;
  std::unordered_set<std::string> taken;
  taken.reserve(keys.size());
  for (const auto& entry : last) taken.insert(entry.first);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (last[keys[k]] == k) continue;
    std::string key = keys[k] + "#" + std::to_string(k < ids.size() ? ids[k] : k);
    while (!taken.insert(key).second) key += '~';
    keys[k] = std::move(key);
  }
}

std::vector<std::string> distinct_column_keys(const std::vector<std::string>& names,
                                              const std::vector<std::uint32_t>& ids) {
  std::vector<std::string> keys = names;
  make_keys_distinct(keys, ids);
  return keys;
}

std::string deleted_marker_key(const std::vector<std::string>& column_keys) {
  const std::unordered_set<std::string> taken(column_keys.begin(), column_keys.end());
  std::string key = "_deleted";
  while (taken.count(key)) key.insert(key.begin(), '_');
  return key;
}

}  // namespace pw
