// The protocol every error type of the library follows, after LLVM's
// ErrorInfo: an error answers its own display text (the message alone, fixed
// by what it holds) and its cause (the lower error it owns, or none). One
// generic walk, chain(), renders an error and every cause below it; nothing
// else needs to know which error types exist.
#pragma once

#include <concepts>
#include <string>
#include <type_traits>

namespace zorf {

class ErrorRef;

// display(): the message alone, a std::string or something it can be built
// from. cause(): the lower error, or an empty ErrorRef.
template <class E>
concept Error = !std::same_as<std::remove_cvref_t<E>, ErrorRef> && requires(const E& error) {
  std::string(error.display());
  { error.cause() } noexcept -> std::same_as<ErrorRef>;
};

// A view of an error of any type that follows the protocol, or of none. It
// borrows: the error it shows must outlive it.
class ErrorRef {
 public:
  ErrorRef() noexcept = default;
  template <Error E>
  ErrorRef(const E& error) noexcept  // NOLINT: every error is viewable as one
      : error_(&error), type_(&kTypeOf<E>) {}

  explicit operator bool() const noexcept { return error_ != nullptr; }
  // Only on a view of an error.
  std::string display() const { return type_->display(error_); }
  ErrorRef cause() const noexcept { return error_ ? type_->cause(error_) : ErrorRef(); }

  // The error as an E, or null when it is of another type (or none).
  template <Error E>
  const E* get_if() const noexcept {
    return type_ == &kTypeOf<E> ? static_cast<const E*>(error_) : nullptr;
  }

 private:
  struct Type {
    std::string (*display)(const void* error);
    ErrorRef (*cause)(const void* error) noexcept;
  };
  // One per error type; its address tells the types apart.
  template <class E>
  static const Type kTypeOf;

  const void* error_ = nullptr;
  const Type* type_ = nullptr;
};

template <class E>
const ErrorRef::Type ErrorRef::kTypeOf{
    [](const void* error) { return std::string(static_cast<const E*>(error)->display()); },
    [](const void* error) noexcept { return static_cast<const E*>(error)->cause(); },
};

// The display text of `error` and of each cause below it, joined by ": ".
std::string chain(ErrorRef error);

}  // namespace zorf
