#include "gpu/library_error.hpp"

#include <cstdio>

#include "support/utf8.hpp"

namespace zorf::gpu {
namespace {

// A quoted, escaped rendering of raw bytes for debug output.
std::string quoted(std::string_view bytes) {
  std::string out = "\"";
  for (const std::string text = utf8_lossy(bytes); const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u{%x}", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string nul_error_debug(const NulError& error) {
  return "NulError(" + std::to_string(error.position) + ", " + quoted(error.bytes) + ")";
}

}  // namespace

std::string DlDescription::display() const { return utf8_lossy(bytes_); }

std::string NulError::display() const {
  return "nul byte found in provided data at position: " + std::to_string(position);
}

std::string LibraryError::DlOpen::debug() const { return "DlOpen { desc: " + quoted(desc.bytes()) + " }"; }

std::string LibraryError::DlSym::debug() const { return "DlSym { desc: " + quoted(desc.bytes()) + " }"; }

std::string LibraryError::CreateCString::debug() const {
  return "CreateCString { source: " + nul_error_debug(source) + " }";
}

std::string LibraryError::CreateCStringWithTrailing::debug() const {
  return "CreateCStringWithTrailing { source: " + nul_error_debug(source) + " }";
}

std::string LibraryError::display() const {
  return std::visit([](const auto& kind) { return std::string(kind.display()); }, kind_);
}

std::string LibraryError::debug() const {
  return std::visit([](const auto& kind) { return std::string(kind.debug()); }, kind_);
}

ErrorRef LibraryError::cause() const noexcept {
  return std::visit([](const auto& kind) noexcept { return kind.cause(); }, kind_);
}

}  // namespace zorf::gpu
