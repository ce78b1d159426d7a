// Status and Result<T>: how a function reports a failure, wherever the platform does not fix the
// signature. A Status is OK, or an error whose message says what failed and why, in words fit for
// a log line or for the person at the terminal (the caller prefixes what it was doing). A
// Result<T> holds either a value or the error Status of why there is none. Neither throws, and
// neither is ever "OK with a message": an empty message means nothing.
//
//   Status CheckThing(...);                  if (Status s = CheckThing(...); !s.ok) return s;
//   Result<UniqueFd> OpenThing(...);         auto fd = OpenThing(...);
//                                            if (!fd.ok()) return fd.status();
//                                            use(*fd);
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

struct [[nodiscard]] Status {
  bool ok = true;
  std::string message;  // empty when ok

  static Status Ok() { return {}; }
  static Status Error(std::string message) { return {false, std::move(message)}; }
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts to its Result
  // `status` must be an error.
  Result(Status status) : status_(std::move(status)) { assert(!status_.ok); }  // NOLINT

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  // Only when ok().
  T& value() & { assert(ok()); return *value_; }
  const T& value() const& { assert(ok()); return *value_; }
  T&& value() && { assert(ok()); return std::move(*value_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::optional<T> value_;
  Status status_;
};
