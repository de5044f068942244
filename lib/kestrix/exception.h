// The exception family of the core layer. Callers catch by base class
// (`Kestrix::Exception`), and the message text is kept unchanged.
#pragma once

#include <exception>
#include <string>

namespace Kestrix {

/// Throwable is the root: an exception carrying its message text.
class Throwable : public std::exception {
public:
  explicit Throwable(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

private:
  std::string message_;
};

/// Exception is what components raise and catch for recoverable failures.
class Exception : public Throwable {
public:
  using Throwable::Throwable;
};

/// NotFoundException: a looked-up object does not exist. The text reads
/// "Object not found: " + what + detail, e.g. "Object not found: Unregister: id = 3".
class NotFoundException : public Exception {
public:
  using Exception::Exception;
  static NotFoundException Of(const std::string& what, const std::string& detail) {
    return NotFoundException("Object not found: " + what + detail);
  }
};

/// InvalidStateException: the object is not in a state that allows the call.
class InvalidStateException : public Exception {
public:
  using Exception::Exception;
};

/// InvalidArgumentException: an argument (or configuration value) is not
/// acceptable. `Of(name)` gives the framework's text "Invalid argument : <name>".
class InvalidArgumentException : public Exception {
public:
  using Exception::Exception;
  static InvalidArgumentException Of(const std::string& name) {
    return InvalidArgumentException("Invalid argument : " + name);
  }
};

/// NotSupportedException: the operation is not supported by this object.
class NotSupportedException : public Exception {
public:
  using Exception::Exception;
};

}  // namespace Kestrix
