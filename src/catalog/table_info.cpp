#include "table_info.hpp"

#include <algorithm>
#include <numeric>

#include "column_keys.hpp"

namespace pw {

void TableInfo::finalize() {
  row_order.resize(columns.size());
  std::iota(row_order.begin(), row_order.end(), std::size_t{0});
  std::stable_sort(row_order.begin(), row_order.end(),
                   [this](std::size_t a, std::size_t b) { return columns.at(a).second.id < columns.at(b).second.id; });
  std::vector<std::string> names;
  std::vector<std::uint32_t> ids;
  names.reserve(row_order.size());
  ids.reserve(row_order.size());
  for (std::size_t k = 0; k < row_order.size(); ++k) {
    names.push_back(row_column(k).name);
    ids.push_back(row_column(k).id);
  }
  column_keys = distinct_column_keys(names, ids);
  deleted_key = deleted_marker_key(column_keys);
}

bool TableInfo::has_shared_column_names() const {
  for (std::size_t k = 0; k < row_order.size(); ++k)
    if (column_keys[k] != row_column(k).name) return true;
  return false;
}

}  // namespace pw
