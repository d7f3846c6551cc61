// AnyError: the one owner of an error of any type that follows the error
// protocol, for errors that keep a lower error as their cause without caring
// which one it is (LLVM's FileError holds its cause the same way).
#pragma once

#include <memory>
#include <utility>
#include <variant>

#include "support/error_protocol.hpp"

namespace zorf {

class AnyError {
 public:
  // None.
  AnyError() noexcept = default;
  template <Error E>
  AnyError(E error)  // NOLINT: any error can be held as one
      : held_(std::make_unique<Held<E>>(std::move(error))) {}
  // A result's error that is one of several types: the one it holds.
  template <Error... Es>
  AnyError(std::variant<Es...> error)  // NOLINT: as above
      : AnyError(std::visit([](auto& held) { return AnyError(std::move(held)); }, error)) {}

  AnyError(const AnyError& other) : held_(other.held_ ? other.held_->copy() : nullptr) {}
  AnyError(AnyError&&) noexcept = default;
  AnyError& operator=(const AnyError& other) {
    if (this != &other) held_ = other.held_ ? other.held_->copy() : nullptr;
    return *this;
  }
  AnyError& operator=(AnyError&&) noexcept = default;
  ~AnyError() = default;

  // The held error, or an empty view.
  ErrorRef get() const noexcept { return held_ ? held_->get() : ErrorRef(); }

 private:
  struct Holder {
    virtual ~Holder() = default;
    virtual ErrorRef get() const noexcept = 0;
    virtual std::unique_ptr<Holder> copy() const = 0;
  };
  template <class E>
  struct Held final : Holder {
    explicit Held(E e) : error(std::move(e)) {}
    ErrorRef get() const noexcept override { return error; }
    std::unique_ptr<Holder> copy() const override { return std::make_unique<Held>(error); }
    E error;
  };

  std::unique_ptr<Holder> held_;
};

}  // namespace zorf
