// The error of every NVML-facing operation, and nvml_try, which maps NVML
// return codes onto it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "gpu/library_error.hpp"
#include "support/error_protocol.hpp"
#include "support/utf8.hpp"

namespace zorf::gpu {

// In declaration order: the kinds that do not come from a return code, then one
// per named NVML return code (1 to 22, then 999 as Unknown).
enum class NvmlErrorKind {
  Utf8Error,
  LibloadingError,
  FailedToLoadSymbol,
  UnexpectedVariant,
  Uninitialized,
  InvalidArg,
  NotSupported,
  NoPermission,
  AlreadyInitialized,
  NotFound,
  InsufficientSize,
  InsufficientPower,
  DriverNotLoaded,
  Timeout,
  IrqIssue,
  LibraryNotFound,
  FunctionNotFound,
  CorruptedInfoROM,
  GpuLost,
  ResetRequired,
  OperatingSystem,
  LibRmVersionMismatch,
  InUse,
  InsufficientMemory,
  NoData,
  VgpuEccNotSupported,
  Unknown,
};

class NvmlError {
 public:
  static NvmlError utf8(Utf8Error source);
  static NvmlError libloading(LibraryError source);
  // `text` is the display text of the LibraryError stored for the entry point.
  static NvmlError failed_to_load_symbol(std::string text);
  static NvmlError unexpected_variant(std::uint32_t code);
  static NvmlError insufficient_size(std::optional<std::uint32_t> size);

  NvmlErrorKind kind() const noexcept;
  // The message alone.
  std::string display() const;
  // For Utf8Error the decoding failure, for LibloadingError the LibraryError;
  // else none.
  ErrorRef cause() const noexcept;

 private:
  friend std::expected<void, NvmlError> nvml_try(std::uint32_t code);

  // One alternative per payload, so that the kind decides what it holds.
  // Each answers its kind, its display text and its cause.
  struct Utf8 {
    Utf8Error source;
    NvmlErrorKind kind() const noexcept { return NvmlErrorKind::Utf8Error; }
    std::string_view display() const noexcept { return "could not interpret string as utf-8"; }
    ErrorRef cause() const noexcept { return source; }
  };
  struct Libloading {
    LibraryError source;
    NvmlErrorKind kind() const noexcept { return NvmlErrorKind::LibloadingError; }
    std::string display() const { return "a libloading error occurred: " + source.display(); }
    ErrorRef cause() const noexcept { return source; }
  };
  struct FailedToLoadSymbol {
    std::string text;
    NvmlErrorKind kind() const noexcept { return NvmlErrorKind::FailedToLoadSymbol; }
    std::string display() const { return "function symbol failed to load: " + text; }
    ErrorRef cause() const noexcept { return {}; }
  };
  struct UnexpectedVariant {
    std::uint32_t code;
    NvmlErrorKind kind() const noexcept { return NvmlErrorKind::UnexpectedVariant; }
    std::string display() const { return "unexpected enum variant value: " + std::to_string(code); }
    ErrorRef cause() const noexcept { return {}; }
  };
  struct InsufficientSize {
    std::optional<std::uint32_t> size;
    NvmlErrorKind kind() const noexcept { return NvmlErrorKind::InsufficientSize; }
    std::string display() const;
    ErrorRef cause() const noexcept { return {}; }
  };
  // A named return code other than InsufficientSize's, which carries nothing
  // but its kind. Only nvml_try makes one, from its table of codes.
  struct ReturnCode {
    NvmlErrorKind code_kind;
    NvmlErrorKind kind() const noexcept { return code_kind; }
    std::string_view display() const noexcept;
    ErrorRef cause() const noexcept { return {}; }
  };
  using Payload =
      std::variant<Utf8, Libloading, FailedToLoadSymbol, UnexpectedVariant, InsufficientSize, ReturnCode>;

  explicit NvmlError(Payload payload) : payload_(std::move(payload)) {}

  Payload payload_;
};

// 0 is success; every other code is an error, by its exact value.
std::expected<void, NvmlError> nvml_try(std::uint32_t code);

}  // namespace zorf::gpu
