// Result<T>: a value or a CoreError. Errors are values inside the core; nothing throws across stages.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/util/error.hpp"

namespace dirsieve {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(CoreError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const CoreError& error() const& { return std::get<1>(state_); }
  CoreError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, CoreError> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(CoreError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const CoreError& error() const& { return *error_; }
  CoreError&& error() && { return std::move(*error_); }

 private:
  std::optional<CoreError> error_;
};

}  // namespace dirsieve

// Propagate the error of a Result-returning expression to the caller.
#define DS_TRY(expr)                                   \
  do {                                                 \
    auto ds_try_result_ = (expr);                      \
    if (!ds_try_result_.ok()) {                        \
      return std::move(ds_try_result_).error();        \
    }                                                  \
  } while (0)

#define DS_CONCAT_INNER(a, b) a##b
#define DS_CONCAT(a, b) DS_CONCAT_INNER(a, b)

// Declare `decl` from the value of a Result-returning expression, or propagate its error.
#define DS_TRY_ASSIGN(decl, expr) DS_TRY_ASSIGN_IMPL(DS_CONCAT(ds_try_assign_, __LINE__), decl, expr)
#define DS_TRY_ASSIGN_IMPL(tmp, decl, expr)            \
  auto tmp = (expr);                                   \
  if (!tmp.ok()) {                                     \
    return std::move(tmp).error();                     \
  }                                                    \
  decl = std::move(tmp).value()
