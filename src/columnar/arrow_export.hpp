// Filling the C data interface structs: a schema from the column plan, arrays from owned buffers. Every
// struct handed out owns its memory through private_data; its release callback frees it (children first) and
// marks the struct released, as the interface requires.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arrow_abi.hpp"
#include "arrow_columns.hpp"

namespace pw::columnar {

// An allocator whose value-less construction leaves memory as it is: a buffer grown with resize(n) is not
// zeroed first and written again by the values (resize(n, 0) still zeroes).
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}  // NOLINT(implicit)
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using ByteBuffer = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

// The buffers of one array, moved into the struct that exports them.
struct ArrayBuffers {
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  ByteBuffer validity;                // bit per slot, LSB first; left out when nothing is null
  std::vector<std::int32_t> offsets;  // variable and list layouts: length + 1 entries
  ByteBuffer data;                    // values (bits for booleans); absent for lists and structs
};

enum class ArrayLayout : std::uint8_t { Fixed, Variable, List, Struct };

// Fills `out` (whose release must be null or already called) with an array of `layout` owning `buffers` and
// taking ownership of `children` (each an exported array allocated with new).
void export_array(ArrayLayout layout, ArrayBuffers buffers, std::vector<ArrowArray*> children, ArrowArray* out);

// Fills `out` with the schema of a batch: a struct whose fields are the columns.
void export_schema(const std::vector<ArrowColumn>& columns, ArrowSchema* out);

}  // namespace pw::columnar
