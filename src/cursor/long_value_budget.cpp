#include "long_value_budget.hpp"

namespace pw {

bool LongValueBudget::admit(LongValueRef ref, std::size_t bytes) {
  auto& joined = ref.width == 8 ? wide_ : narrow_;
  if (joined.insert(ref.id).second) return true;
  if (bytes > repeats_left_) return false;
  repeats_left_ -= bytes;
  return true;
}

}  // namespace pw
