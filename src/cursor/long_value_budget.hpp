// How much one read of a table may join of long values that it has joined before. Records may share a long
// value (its root counts the references), but a crafted file can make thousands of records, or thousands of
// multi-value elements, name one large value, and every view would then write it thousands of times. The
// first join of each long value is free (all of them together are bounded by the file and what its
// compressed chunks expand to); joins of a value seen before draw on kRepeatFactor times the file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>

#include "long_value.hpp"

namespace pw {

class LongValueBudget {
 public:
  static constexpr std::uint64_t kRepeatFactor = 32;

  explicit LongValueBudget(std::uint64_t file_size) : repeats_left_(kRepeatFactor * file_size) {}

  // Whether a joined value of `bytes` bytes under `ref` may be given: always the first time, again while the
  // repeats' budget lasts.
  bool admit(LongValueRef ref, std::size_t bytes);

 private:
  std::unordered_set<std::uint64_t> narrow_;  // ids joined so far, by width
  std::unordered_set<std::uint64_t> wide_;
  std::uint64_t repeats_left_;
};

}  // namespace pw
