// The result of a client call: a value, or the text of what went wrong. Client errors are reported to
// people (the command-line tool prints them as they are), so the text names the object and the cause,
// e.g. "cannot connect to /run/x.sock: No such file or directory".
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quillmap {

struct ClientError {
  std::string text;
};

template <class T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(ClientError error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only when ok().
  const T& value() const& { return std::get<0>(state_); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  // Only when !ok().
  const std::string& error() const { return std::get<1>(state_).text; }

 private:
  std::variant<T, ClientError> state_;
};

// A call that yields nothing but success or an error.
using Status = Result<std::monostate>;

inline Status ok_status() { return Status(std::monostate{}); }

}  // namespace quillmap
