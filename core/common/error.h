// Errors are values: every engine operation that can fail returns Result<T> (or Status), and
// only the Python layer turns an Error into an exception. The kind decides the exception type;
// the message is the exact text the user sees.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace kestrine {

enum class ErrorKind {
  kNotFound,      // a named collection does not exist (KeyError)
  kInvalidValue,  // an argument's value is unacceptable (ValueError)
  kIo,            // the operating system refused an I/O operation (RuntimeError)
  kInvalidData,   // stored bytes are corrupt, truncated or inconsistent (RuntimeError)
  kInternal,      // an internal assertion reached through stored data (BaseException)
};

class Error {
 public:
  Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  static Error not_found(std::string message) { return {ErrorKind::kNotFound, std::move(message)}; }
  static Error invalid_value(std::string message) {
    return {ErrorKind::kInvalidValue, std::move(message)};
  }
  static Error io(std::string message) { return {ErrorKind::kIo, std::move(message)}; }
  static Error invalid_data(std::string message) {
    return {ErrorKind::kInvalidData, std::move(message)};
  }
  static Error internal(std::string message) { return {ErrorKind::kInternal, std::move(message)}; }
  // The operating system's description of errno `code` followed by " (os error <code>)".
  static Error from_errno(int code);

  ErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // The same error with `prefix` put in front of its message ("WAL write failed: " + ...).
  Error with_prefix(std::string_view prefix) const {
    return {kind_, std::string(prefix) + message_};
  }

 private:
  ErrorKind kind_;
  std::string message_;
};

template <typename T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }

}  // namespace kestrine
