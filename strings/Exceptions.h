// The failure classes that travel inside the library. None of them ever
// crosses an exported entry point: the request handling catches them all.
#pragma once

#include <exception>
#include <string>

namespace refwarden {

// Base of every failure the system raises; carries a message text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A violated precondition of a string primitive. The message is
// "Assertion failure (<unit>, line <line>)".
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(const char* unit, int line);
};

}  // namespace refwarden
