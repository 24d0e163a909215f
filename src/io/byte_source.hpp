// ByteSource: owner of the bytes a Database reads (a file mapping or an in-memory image).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "../utils/bytes.hpp"

namespace pw {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual Bytes bytes() const noexcept = 0;
  // Set once reading the bytes failed (a mapped file shrank, or its device failed): from then on some of the
  // bytes read as zeros, and nothing read from the source can be trusted.
  virtual const std::atomic<bool>& read_failed() const noexcept = 0;
};

// A database image held in memory: it cannot fail to read.
class MemoryImage final : public ByteSource {
 public:
  explicit MemoryImage(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
  Bytes bytes() const noexcept override { return data_; }
  const std::atomic<bool>& read_failed() const noexcept override { return never_failed_; }

 private:
  std::vector<std::uint8_t> data_;
  std::atomic<bool> never_failed_{false};
};

}  // namespace pw
