// NvmlLib: the NVML entry points this library calls, resolved once from an
// open Library, which the table owns.
#pragma once

#include <cstdint>
#include <expected>
#include <variant>

#include "gpu/library.hpp"
#include "gpu/nvml_error.hpp"

namespace zorf::gpu {

// NVML's own C types, as its interface declares them.
using nvmlReturn_t = std::uint32_t;
using nvmlDevice_t = struct nvmlDevice_st*;

// One resolved entry point: its address, or why it could not be had. A failed
// entry becomes an error only when an operation needs it.
template <class Fn>
class NvmlEntry {
 public:
  explicit NvmlEntry(std::expected<void*, LibraryError> resolved);

  // The function, or FailedToLoadSymbol with the stored error's display text.
  std::expected<Fn*, NvmlError> get() const;
  // The stored error, or null when the entry resolved.
  const LibraryError* error() const noexcept { return std::get_if<LibraryError>(&state_); }
  // The function, or null when the entry holds an error; never allocates.
  Fn* function() const noexcept {
    Fn* const* resolved = std::get_if<Fn*>(&state_);
    return resolved ? *resolved : nullptr;
  }

 private:
  std::variant<Fn*, LibraryError> state_;
};

class NvmlLib {
 public:
  // Resolves every entry; a name that does not resolve is kept as an error in
  // its entry and does not stop the others.
  static NvmlLib from_library(Library library);

  NvmlEntry<nvmlReturn_t()> nvmlInit_v2;
  NvmlEntry<nvmlReturn_t()> nvmlShutdown;
  NvmlEntry<nvmlReturn_t(unsigned int* count)> nvmlDeviceGetCount_v2;
  NvmlEntry<nvmlReturn_t(unsigned int index, nvmlDevice_t* device)> nvmlDeviceGetHandleByIndex_v2;
  NvmlEntry<nvmlReturn_t(nvmlDevice_t device, char* uuid, unsigned int length)> nvmlDeviceGetUUID;

  // Gives up the library without closing it (see Library::leak).
  void leak_library() && noexcept { std::move(library_).leak(); }

 private:
  NvmlLib(Library library);

  // Declared last so that it is destroyed first: the library is closed before
  // the stored errors are freed.
  Library library_;
};

template <class Fn>
inline NvmlEntry<Fn>::NvmlEntry(std::expected<void*, LibraryError> resolved)
    : state_(LibraryError::DlSymUnknown{}) {
  if (!resolved)
    state_ = std::move(resolved).error();
  else if (*resolved != nullptr)
    // Converting a data pointer to a function pointer is what dlsym is for;
    // POSIX guarantees the round trip.
    state_ = reinterpret_cast<Fn*>(*resolved);
  // A null address without an error text stays an error: it must never be called.
}

template <class Fn>
inline std::expected<Fn*, NvmlError> NvmlEntry<Fn>::get() const {
  if (const LibraryError* stored = error())
    return std::unexpected(NvmlError::failed_to_load_symbol(stored->display()));
  return std::get<Fn*>(state_);
}

}  // namespace zorf::gpu
