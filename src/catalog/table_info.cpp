#include "table_info.hpp"

#include <algorithm>
#include <numeric>

namespace pw {

void TableInfo::finalize() {
  row_order.resize(columns.size());
  std::iota(row_order.begin(), row_order.end(), std::size_t{0});
  std::stable_sort(row_order.begin(), row_order.end(),
                   [this](std::size_t a, std::size_t b) { return columns.at(a).second.id < columns.at(b).second.id; });
}

}  // namespace pw
