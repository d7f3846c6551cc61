// The error of every NVML-facing operation, and nvml_try, which maps NVML
// return codes onto it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "gpu/library_error.hpp"
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
  static NvmlError utf8(Utf8Error source) { return {NvmlErrorKind::Utf8Error, source}; }
  static NvmlError libloading(LibraryError source) {
    return {NvmlErrorKind::LibloadingError, std::move(source)};
  }
  // `text` is the display text of the LibraryError stored for the entry point.
  static NvmlError failed_to_load_symbol(std::string text) {
    return {NvmlErrorKind::FailedToLoadSymbol, std::move(text)};
  }
  static NvmlError unexpected_variant(std::uint32_t code) { return {NvmlErrorKind::UnexpectedVariant, code}; }
  static NvmlError insufficient_size(std::optional<std::uint32_t> size) {
    return {NvmlErrorKind::InsufficientSize, size};
  }
  // Any return-code kind other than InsufficientSize; those carry nothing.
  static NvmlError of_kind(NvmlErrorKind kind) { return {kind, std::monostate{}}; }

  NvmlErrorKind kind() const noexcept { return kind_; }
  // The message alone.
  std::string display() const;

  // Payloads, present only for their kinds.
  const Utf8Error* utf8_error() const noexcept { return std::get_if<Utf8Error>(&payload_); }
  const LibraryError* library_error() const noexcept { return std::get_if<LibraryError>(&payload_); }
  const std::string* symbol_text() const noexcept { return std::get_if<std::string>(&payload_); }
  std::optional<std::uint32_t> unexpected_code() const noexcept;
  std::optional<std::uint32_t> required_size() const noexcept;

 private:
  using Payload = std::variant<std::monostate, Utf8Error, LibraryError, std::string, std::uint32_t,
                               std::optional<std::uint32_t>>;
  NvmlError(NvmlErrorKind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

  NvmlErrorKind kind_;
  Payload payload_;
};

// Display text of the cause chain below `error`: for Utf8Error the decoding
// failure, for LibloadingError the LibraryError and whatever lies under it.
// Empty when the kind has no cause.
std::string cause_chain(const NvmlError& error);

// 0 is success; every other code is an error, by its exact value.
std::expected<void, NvmlError> nvml_try(std::uint32_t code);

}  // namespace zorf::gpu
