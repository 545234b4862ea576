// The exception classes of both programs. A failure is an exception that
// carries its message; the edges that catch it log or show Message().
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// A value that cannot be converted, or an object of the wrong class.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A number outside its range; the message is "Range check error".
class ERangeError : public Exception {
 public:
  ERangeError() : Exception("Range check error") {}
};
