// The one exception type of the library: a broken invariant or a failure that
// cannot be returned as a value. It unwinds to the entry guard of the Python
// binding, which turns it into PanicException; nothing else catches it.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace zorf {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message,
                           std::source_location where = std::source_location::current())
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

}  // namespace zorf
