// WalkCounts: what a walk of a B-tree had to pass over, so that damage is reported rather than hidden.
#pragma once

#include <cstdint>

namespace pw {

struct WalkCounts {
  std::uint64_t bad_entries = 0;             // tags outside the page, entries too short to parse, bad child links
  std::uint64_t overlapping_entries = 0;     // entries whose bytes overlap an earlier entry of the same page
  std::uint64_t foreign_pages = 0;           // linked pages that belong to another tree (another object id)
  std::uint64_t loops = 0;                   // links back to a page the walk had already entered
  std::uint64_t unreadable_pages = 0;        // linked pages past the end of the file or too short
  std::uint64_t unresolved_long_values = 0;  // long-value references that no long value answers

  std::uint64_t total() const noexcept {
    return bad_entries + overlapping_entries + foreign_pages + loops + unreadable_pages + unresolved_long_values;
  }
  WalkCounts& operator+=(const WalkCounts& o) noexcept {
    bad_entries += o.bad_entries;
    overlapping_entries += o.overlapping_entries;
    foreign_pages += o.foreign_pages;
    loops += o.loops;
    unreadable_pages += o.unreadable_pages;
    unresolved_long_values += o.unresolved_long_values;
    return *this;
  }
};

}  // namespace pw
