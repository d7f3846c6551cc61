#include "support/utf8.hpp"

#include <cstring>

namespace zorf {
namespace {

// Bounds of the second byte of a sequence, which depend on the lead byte: they
// exclude overlong forms (E0, F0), surrogates (ED) and values above U+10FFFF
// (F4). All later continuation bytes are 80..BF.
struct SecondByte {
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
};

// Sequence length announced by a lead byte, or 0 when it cannot start one.
int sequence_length(unsigned char lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

SecondByte second_byte_bounds(unsigned char lead) noexcept {
  switch (lead) {
    case 0xE0: return {0xA0, 0xBF};
    case 0xED: return {0x80, 0x9F};
    case 0xF0: return {0x90, 0xBF};
    case 0xF4: return {0x80, 0x8F};
    default: return {};
  }
}

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    // UUIDs and cache files are ASCII: skip eight such bytes at a time.
    if (std::uint64_t word; i + 8 <= size && (std::memcpy(&word, data + i, 8), word & 0x8080808080808080u) == 0) {
      i += 8;
      continue;
    }
    const unsigned char lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const int length = sequence_length(lead);
    if (length == 0) return Utf8Error{i, 1};
    const SecondByte bounds = second_byte_bounds(lead);
    for (int k = 1; k < length; ++k) {
      if (i + static_cast<std::size_t>(k) >= size) return Utf8Error{i, std::nullopt};
      const unsigned char byte = data[i + static_cast<std::size_t>(k)];
      const unsigned char low = k == 1 ? bounds.low : 0x80;
      const unsigned char high = k == 1 ? bounds.high : 0xBF;
      if (byte < low || byte > high) return Utf8Error{i, static_cast<std::uint8_t>(k)};
    }
    i += static_cast<std::size_t>(length);
  }
  return std::nullopt;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const auto error = check_utf8(bytes);
    if (!error) {
      text.append(bytes);
      break;
    }
    text.append(bytes.substr(0, error->valid_up_to));
    text.append("\xEF\xBF\xBD");
    const std::size_t skip = error->error_len ? *error->error_len : bytes.size() - error->valid_up_to;
    bytes.remove_prefix(error->valid_up_to + skip);
  }
  return text;
}

std::string Utf8Error::display() const {
  if (error_len)
    return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
           std::to_string(valid_up_to);
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

}  // namespace zorf
