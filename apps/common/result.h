// The one way a step of a command-line program answers: its value, or the sentence that
// says why not. Messages are UTF-8 in the portable tools and UTF-16 in the launcher, which
// speaks to the Windows console; either way they hold no unescaped byte of their input.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace qel {

template <typename Text>
struct Failure {
  Text message;
};

inline Failure<std::string> Fail(std::string message) {
  return {std::move(message)};
}
inline Failure<std::wstring> Fail(std::wstring message) {
  return {std::move(message)};
}

// The value of a step that answers nothing but success.
struct Done {};

template <typename T, typename Text = std::string>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Failure<Text> failure) : message_(std::move(failure.message)) {}

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  // Empty when the step succeeded.
  const Text& message() const { return message_; }

 private:
  std::optional<T> value_;
  Text message_;
};

using Status = Result<Done>;
using WideStatus = Result<Done, std::wstring>;

}  // namespace qel
