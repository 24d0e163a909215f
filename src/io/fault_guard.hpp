// FaultGuard: survives failed reads of a file mapping.
//
// Touching a mapped page that the file no longer holds (it was truncated while open) or that its device cannot
// deliver raises SIGBUS, which would end the process. A guarded range is registered in a fixed table of slots
// read by a process-wide SIGBUS handler: a fault inside a guarded range is answered by mapping zero pages over
// the rest of the range and raising the range's flag, so the read that faulted runs again and sees zeros; its
// owner checks the flag and reports the failure. Faults elsewhere go to the handler that was installed before.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

namespace pw {

class FaultGuard {
 public:
  // Guards [begin, begin + length); nullopt when every slot is taken or the handler could not be installed.
  static std::optional<FaultGuard> claim(const void* begin, std::size_t length) noexcept;

  ~FaultGuard();
  FaultGuard(FaultGuard&& other) noexcept;
  FaultGuard& operator=(FaultGuard&&) = delete;
  FaultGuard(const FaultGuard&) = delete;
  FaultGuard& operator=(const FaultGuard&) = delete;

  // Raised by the handler once a read of the range faulted.
  const std::atomic<bool>& faulted() const noexcept;

 private:
  explicit FaultGuard(std::size_t slot) noexcept : slot_(slot) {}
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
  std::size_t slot_;
};

}  // namespace pw

namespace pw {

// Whether any byte of [begin, begin + length) lies in a mapping of a file (Linux: /proc/self/maps), so that
// reading it can fault once the file shrinks. True when the maps cannot be read: guarding costs little.
bool maps_a_file(const void* begin, std::size_t length) noexcept;

}  // namespace pw
