// What the run-time loader layer reports: a library that cannot be opened or
// a symbol that cannot be resolved.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "support/error_protocol.hpp"

namespace zorf::gpu {

// A copy of the text that dlerror() returned right after a failed call. The
// bytes are kept as the loader gave them; display decodes them lossily.
class DlDescription {
 public:
  explicit DlDescription(const char* text) : bytes_(text) {}
  const std::string& bytes() const noexcept { return bytes_; }
  std::string display() const;

 private:
  std::string bytes_;
};

// A library or symbol name that could not be made into a C string because it
// holds a NUL byte where none may be.
struct NulError {
  std::size_t position = 0;
  std::string bytes;

  std::string display() const;
  ErrorRef cause() const noexcept { return {}; }
};

class LibraryError {
 public:
  // Each kind answers the error protocol and its debug text itself.
  struct DlOpen {
    DlDescription desc;
    std::string display() const { return desc.display(); }
    std::string debug() const;
    ErrorRef cause() const noexcept { return {}; }
  };
  struct DlOpenUnknown {
    std::string_view display() const noexcept { return "dlopen failed, but system did not report the error"; }
    std::string_view debug() const noexcept { return "DlOpenUnknown"; }
    ErrorRef cause() const noexcept { return {}; }
  };
  struct DlSym {
    DlDescription desc;
    std::string display() const { return desc.display(); }
    std::string debug() const;
    ErrorRef cause() const noexcept { return {}; }
  };
  // dlsym gave a null address and no error text: the symbol exists but cannot
  // be called.
  struct DlSymUnknown {
    std::string_view display() const noexcept { return "dlsym failed, but system did not report the error"; }
    std::string_view debug() const noexcept { return "DlSymUnknown"; }
    ErrorRef cause() const noexcept { return {}; }
  };
  struct CreateCString {
    NulError source;
    std::string_view display() const noexcept { return "could not create a C string from bytes"; }
    std::string debug() const;
    ErrorRef cause() const noexcept { return source; }
  };
  struct CreateCStringWithTrailing {
    NulError source;
    std::string_view display() const noexcept {
      return "could not create a C string from bytes with trailing null";
    }
    std::string debug() const;
    ErrorRef cause() const noexcept { return source; }
  };
  using Kind =
      std::variant<DlOpen, DlOpenUnknown, DlSym, DlSymUnknown, CreateCString, CreateCStringWithTrailing>;

  template <class K>
    requires std::is_constructible_v<Kind, K>
  LibraryError(K kind) : kind_(std::move(kind)) {}  // NOLINT: each kind is a LibraryError

  const Kind& kind() const noexcept { return kind_; }
  template <class K>
  bool is() const noexcept { return std::holds_alternative<K>(kind_); }

  // The message alone.
  std::string display() const;
  // The kind's name and its payload, for reports of internal failures.
  std::string debug() const;
  // The failed name conversion behind the two conversion kinds, else none.
  ErrorRef cause() const noexcept;

 private:
  Kind kind_;
};

}  // namespace zorf::gpu
