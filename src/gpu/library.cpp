#include "gpu/library.hpp"

#include <dlfcn.h>

#include "support/expected.hpp"

namespace zorf::gpu {

std::expected<CStringCow, LibraryError> cstr_cow_from_bytes(std::string_view name) {
  if (name.empty()) return CStringCow::borrow("");
  if (name.back() == '\0') {
    const auto nul = name.find('\0');
    if (nul != name.size() - 1)
      return std::unexpected(LibraryError::CreateCStringWithTrailing{{nul, std::string(name)}});
    return CStringCow::borrow(name.data());
  }
  if (const auto nul = name.find('\0'); nul != std::string_view::npos)
    return std::unexpected(LibraryError::CreateCString{{nul, std::string(name)}});
  return CStringCow::own(std::string(name));
}

std::expected<Library, LibraryError> Library::open(std::string_view name, int flags) {
  const CStringCow c_name = ZORF_TRY(cstr_cow_from_bytes(name));
  // The loader's pending error is deliberately not cleared first: after a
  // null handle, dlerror() describes this call.
  void* handle = dlopen(c_name.c_str(), flags);
  if (handle != nullptr) return Library(handle);
  if (const char* text = dlerror()) return std::unexpected(LibraryError::DlOpen{DlDescription(text)});
  return std::unexpected(LibraryError::DlOpenUnknown{});
}

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Library::~Library() {
  if (handle_ != nullptr) dlclose(handle_);
}

std::expected<void*, LibraryError> Library::get_impl(std::string_view name) const {
  const CStringCow c_name = ZORF_TRY(cstr_cow_from_bytes(name));
  // A null address is a legitimate symbol value; only dlerror() tells a
  // failure apart, so anything pending from before must go first.
  dlerror();
  void* address = dlsym(handle_, c_name.c_str());
  if (address != nullptr) return address;
  if (const char* text = dlerror()) return std::unexpected(LibraryError::DlSym{DlDescription(text)});
  return address;
}

}  // namespace zorf::gpu
