#include "page_repairs.hpp"

#include <algorithm>

#include "verify.hpp"

namespace pw {

PageRepairs PageRepairs::find(Bytes file, std::uint32_t page_size) {
  PageRepairs repairs;
  check_pages(file, page_size, 1, UINT32_MAX, [&](std::uint32_t pgno, Bytes page, const PageCheck& check) {
    if (check.condition != PageCondition::Correctable) return;
    PageRepair repair{pgno, std::vector<std::uint8_t>(page.begin(), page.end()), check};
    correct_page(repair.bytes, check);
    repairs.repairs_.push_back(std::move(repair));
  });
  return repairs;
}

const std::vector<std::uint8_t>* PageRepairs::find_repaired(std::uint32_t pgno) const noexcept {
  const auto it = std::lower_bound(repairs_.begin(), repairs_.end(), pgno,
                                   [](const PageRepair& r, std::uint32_t n) { return r.page < n; });
  return it != repairs_.end() && it->page == pgno ? &it->bytes : nullptr;
}

}  // namespace pw
