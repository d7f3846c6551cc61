#include "gpu/library_error.hpp"

#include <cstdio>

#include "support/utf8.hpp"

namespace zorf::gpu {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

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

}  // namespace

std::string DlDescription::display() const { return utf8_lossy(bytes_); }

std::string to_string(const NulError& error) {
  return "nul byte found in provided data at position: " + std::to_string(error.position);
}

std::string LibraryError::display() const {
  return std::visit(
      Overloaded{
          [](const DlOpen& k) { return k.desc.display(); },
          [](const DlOpenUnknown&) -> std::string {
            return "dlopen failed, but system did not report the error";
          },
          [](const DlSym& k) { return k.desc.display(); },
          [](const DlSymUnknown&) -> std::string {
            return "dlsym failed, but system did not report the error";
          },
          [](const CreateCString&) -> std::string { return "could not create a C string from bytes"; },
          [](const CreateCStringWithTrailing&) -> std::string {
            return "could not create a C string from bytes with trailing null";
          },
      },
      kind_);
}

std::string LibraryError::debug() const {
  return std::visit(
      Overloaded{
          [](const DlOpen& k) { return "DlOpen { desc: " + quoted(k.desc.bytes()) + " }"; },
          [](const DlOpenUnknown&) -> std::string { return "DlOpenUnknown"; },
          [](const DlSym& k) { return "DlSym { desc: " + quoted(k.desc.bytes()) + " }"; },
          [](const DlSymUnknown&) -> std::string { return "DlSymUnknown"; },
          [](const CreateCString& k) {
            return "CreateCString { source: NulError(" + std::to_string(k.source.position) + ", " +
                   quoted(k.source.bytes) + ") }";
          },
          [](const CreateCStringWithTrailing& k) {
            return "CreateCStringWithTrailing { source: NulError(" + std::to_string(k.source.position) +
                   ", " + quoted(k.source.bytes) + ") }";
          },
      },
      kind_);
}

const NulError* LibraryError::cause() const noexcept {
  if (const auto* k = std::get_if<CreateCString>(&kind_)) return &k->source;
  if (const auto* k = std::get_if<CreateCStringWithTrailing>(&kind_)) return &k->source;
  return nullptr;
}

}  // namespace zorf::gpu
