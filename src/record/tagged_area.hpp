// The parts of a data record's layout that more than one decoder needs: the header, where the tagged area
// starts, and the tagged directory (column id -> value bytes and whether they begin with a flag byte).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../format/record_layout.hpp"
#include "../utils/bytes.hpp"

namespace pw {

using record_layout::RecordHeader;

struct TaggedSlot {
  std::uint32_t id;
  std::uint32_t start;  // absolute record offsets
  std::uint32_t end;
  bool has_flag_byte;
};

// The tagged directory of one record, parsed at most once, looked up by column id (later entries win).
class TaggedDirectory {
 public:
  // Forgets the previous record's directory, keeping the storage.
  void reset() noexcept {
    built_ = false;
    raw_.clear();
    slots_.clear();
  }

  // Parses the directory of the tagged area that starts at `tagged_start` (large: the large-page layout).
  void build(Bytes rec, std::size_t tagged_start, bool large);

  bool built() const noexcept { return built_; }
  // Every slot, by ascending column id (for a repeated id, the one find() gives is the last of them).
  const std::vector<TaggedSlot>& slots() const noexcept { return slots_; }

  const TaggedSlot* find(std::uint32_t id) const {
    auto it = std::upper_bound(slots_.begin(), slots_.end(), id,
                               [](std::uint32_t v, const TaggedSlot& s) { return v < s.id; });
    if (it == slots_.begin()) return nullptr;
    --it;
    return it->id == id ? &*it : nullptr;
  }

 private:
  bool built_ = false;
  std::vector<TaggedSlot> raw_;
  std::vector<TaggedSlot> slots_;
};

// Where the tagged area of the record starts: after the variable columns' data.
std::size_t tagged_area_start(Bytes rec, const RecordHeader& h);

}  // namespace pw
