// ColumnBuilder: the buffers of one column of a batch (validity bits, offsets, values), filled value by value
// and moved into an exported ArrowArray when the batch is complete.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

#include "../types/column_value.hpp"
#include "arrow_abi.hpp"
#include "arrow_columns.hpp"
#include "arrow_export.hpp"

namespace pw::columnar {

// The most bytes the variable data of one array can hold with 32-bit offsets.
inline constexpr std::size_t kMaxArrayBytes = std::numeric_limits<std::int32_t>::max();

class ColumnBuilder {
 public:
  ColumnBuilder(ArrowKind kind, bool list);

  void reserve(std::size_t rows);

  // Appends the value; a null when it has no form of the column's kind (false is returned then, and for a
  // list when an element had none). A list column takes a List, or a single value as a list of one.
  bool append(const ColumnValue& value);
  void append_null() {
    ensure_slot();
    if (has_offsets_) {
      buffers_.offsets.push_back(buffers_.offsets.back());
    } else if (width_ != 0) {  // a null slot holds zeros, not what the buffer's memory held before
      std::memset(buffers_.data.data() + static_cast<std::size_t>(buffers_.length) * width_, 0, width_);
    }
    mark(false);
  }

  // Appends one valid value of the column's own representation (for readers that decode values themselves):
  // `T` of the kind's width, a bit, or bytes (false, nothing appended, past kMaxArrayBytes).
  template <class T>
  void append_raw(T value) {
    if (sizeof(T) != width_ || list_) return append_null();  // not this column's representation
    // The slot is read once into a local: the byte stores below may alias any member, so the compiler would
    // otherwise load it again after each of them.
    const std::size_t slot = next_slot();
    std::memcpy(buffers_.data.data() + slot * sizeof(T), &value, sizeof(T));
    buffers_.validity.data()[slot / 8] |= static_cast<std::uint8_t>(1u << (slot % 8));
    buffers_.length = static_cast<std::int64_t>(slot + 1);
  }
  // Appends `rows` values of a fixed-width or boolean column at once: value_at(i, T& value) stores the i-th
  // (T of the kind's width, or bool) and returns true, or returns false for a null. Filling one column of many
  // rows in one loop keeps its buffers in registers, which appending row by row across the columns cannot.
  template <class T, class ValueAt>
  void append_run(std::size_t rows, ValueAt value_at) {
    constexpr bool kBits = std::is_same_v<T, bool>;
    if (list_ || (kBits ? kind_ != ArrowKind::Bool : sizeof(T) != width_)) {  // not this column's representation
      for (std::size_t i = 0; i < rows; ++i) append_null();
      return;
    }
    const auto first = static_cast<std::size_t>(buffers_.length);
    if (rows > capacity_ - first) grow(std::max(first + rows, 2 * capacity_));
    std::uint8_t* const data = buffers_.data.data();
    std::uint8_t* const validity = buffers_.validity.data();
    std::int64_t nulls = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      const std::size_t slot = first + i;
      T value{};
      const bool valid = value_at(i, value);
      if (!valid) {
        ++nulls;
        value = T{};  // a null slot holds zeros
      }
      if constexpr (kBits) {
        if (value) data[slot / 8] |= static_cast<std::uint8_t>(1u << (slot % 8));
      } else {
        std::memcpy(data + slot * sizeof(T), &value, sizeof(T));
      }
      if (valid) validity[slot / 8] |= static_cast<std::uint8_t>(1u << (slot % 8));
    }
    buffers_.null_count += nulls;
    buffers_.length = static_cast<std::int64_t>(first + rows);
  }
  void append_bool(bool value);
  bool append_bytes(const char* data, std::size_t size);
  // A variable value written straight into the data: the caller appends its bytes to value_data() and then
  // calls end_value() with the size value_data() had before. false, and the bytes dropped, past
  // kMaxArrayBytes.
  ByteBuffer& value_data() noexcept { return buffers_.data; }
  bool end_value(std::size_t start) {
    auto& d = buffers_.data;
    if (d.size() > kMaxArrayBytes) {
      d.resize(start);
      return false;
    }
    ensure_slot();
    buffers_.offsets.push_back(static_cast<std::int32_t>(d.size()));
    mark(true);
    return true;
  }

  // Bytes of variable data appended so far.
  std::size_t data_bytes() const noexcept { return buffers_.data.size(); }

  // Whether appending `value` would take the variable data past kMaxArrayBytes.
  bool would_overflow(const ColumnValue& value) const;

  std::int64_t length() const noexcept { return buffers_.length; }

  // Exports the values appended so far into `out`; the builder starts a new, empty array.
  void finish(ArrowArray* out);

 private:
  void mark(bool valid) {
    const auto slot = static_cast<std::size_t>(buffers_.length);
    if (valid) {
      buffers_.validity[slot / 8] |= static_cast<std::uint8_t>(1u << (slot % 8));
    } else {
      ++buffers_.null_count;
    }
    ++buffers_.length;
  }
  bool append_scalar(const ColumnValue& value);
  void start_buffers();
  void grow(std::size_t slots);
  void ensure_slot() {
    if (static_cast<std::size_t>(buffers_.length) == capacity_) grow(capacity_ < 32 ? 64 : 2 * capacity_);
  }
  // The index of the slot the next value takes, with room made for it.
  std::size_t next_slot() {
    const auto slot = static_cast<std::size_t>(buffers_.length);
    if (slot == capacity_) grow(capacity_ < 32 ? 64 : 2 * capacity_);
    return slot;
  }

  ArrowKind kind_;
  bool list_;
  bool has_offsets_;   // list and variable layouts
  std::size_t width_;  // fixed_width(kind_)
  ArrayBuffers buffers_;
  std::unique_ptr<ColumnBuilder> element_;  // the values of a list column
  std::size_t capacity_ = 0;                // slots the validity bits and fixed-width data are sized for
  std::size_t reserved_rows_ = 0;
  std::size_t last_data_bytes_ = 0;  // variable data of the batch finished last
};

}  // namespace pw::columnar
