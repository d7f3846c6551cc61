#include "gpu/c_string.hpp"

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

}  // namespace zorf::gpu
