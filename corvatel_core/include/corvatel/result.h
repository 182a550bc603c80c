// Result<T, E>: a value or an error, for core functions that can fail.
// Member names follow std::expected so that the move to C++23 is an alias.
#pragma once

#include <utility>
#include <variant>

namespace corvatel {

template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<E> unexpected(E error) {
  return {std::move(error)};
}

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Unexpected<E> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  const T& value() const& { return std::get<0>(v_); }
  T& value() & { return std::get<0>(v_); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace corvatel
