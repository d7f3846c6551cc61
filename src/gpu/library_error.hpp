// What the run-time loader layer reports: a library that cannot be opened or
// a symbol that cannot be resolved.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

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
};

std::string to_string(const NulError& error);

class LibraryError {
 public:
  struct DlOpen { DlDescription desc; };
  struct DlOpenUnknown {};
  struct DlSym { DlDescription desc; };
  // dlsym gave a null address and no error text: the symbol exists but cannot
  // be called.
  struct DlSymUnknown {};
  struct CreateCString { NulError source; };
  struct CreateCStringWithTrailing { NulError source; };
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
  // The failed name conversion behind the two conversion kinds, else null.
  const NulError* cause() const noexcept;

 private:
  Kind kind_;
};

}  // namespace zorf::gpu
