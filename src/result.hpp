// Result<T>: a value or an EseError; the one way fallible operations report failure.
#pragma once

#include <utility>
#include <variant>

#include "error.hpp"

namespace pw {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}         // NOLINT(implicit)
  Result(EseError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(implicit)

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  T value_or(T fallback) const& { return ok() ? std::get<0>(state_) : fallback; }

  EseError& error() & { return std::get<1>(state_); }
  const EseError& error() const& { return std::get<1>(state_); }
  EseError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, EseError> state_;
};

// Result of an operation that yields nothing on success.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace pw
