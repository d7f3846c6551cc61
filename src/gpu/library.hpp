// Library: the one owner of a handle from the dynamic loader.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "gpu/library_error.hpp"

namespace zorf::gpu {

// A name handed to the dynamic loader: used in place when it already ends in
// its only NUL byte, else copied with one appended.
class CStringCow {
 public:
  const char* c_str() const noexcept { return borrowed_ ? borrowed_ : owned_.c_str(); }

  static CStringCow borrow(const char* text) noexcept { return CStringCow(text, {}); }
  static CStringCow own(std::string text) { return CStringCow(nullptr, std::move(text)); }

 private:
  CStringCow(const char* borrowed, std::string owned) : borrowed_(borrowed), owned_(std::move(owned)) {}
  const char* borrowed_;
  std::string owned_;
};

// CreateCString or CreateCStringWithTrailing for a name with a NUL byte in
// the wrong place.
std::expected<CStringCow, LibraryError> cstr_cow_from_bytes(std::string_view name);

class Library {
 public:
  // dlopen(name, flags). `name` may hold any bytes; one with a NUL byte in the
  // wrong place is refused before the loader is asked.
  static std::expected<Library, LibraryError> open(std::string_view name, int flags);

  Library(Library&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Library& operator=(Library&& other) noexcept;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  // dlclose, once; its result is of no use to anyone.
  ~Library();

  // dlsym(name). A null address without error text is a success, as the loader
  // reports it; the caller decides what it means.
  std::expected<void*, LibraryError> get_impl(std::string_view name) const;

  // Gives up the handle without closing it: the library stays loaded for the
  // rest of the process.
  void leak() && noexcept { handle_ = nullptr; }

 private:
  explicit Library(void* handle) noexcept : handle_(handle) {}
  void* handle_;
};

}  // namespace zorf::gpu
