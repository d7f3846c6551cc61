// Names handed to the dynamic loader: used in place when they already end in
// their only NUL byte, else copied with one appended.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "gpu/library_error.hpp"

namespace zorf::gpu {

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

std::expected<CStringCow, LibraryError> cstr_cow_from_bytes(std::string_view name);

}  // namespace zorf::gpu
