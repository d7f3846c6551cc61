// UTF-8 validation with the position of the first bad sequence, and lossy
// decoding for texts that are shown but must not fail (loader messages).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/error_protocol.hpp"

namespace zorf {

// Where and how a byte string stops being UTF-8.
struct Utf8Error {
  // Length of the longest valid prefix.
  std::size_t valid_up_to = 0;
  // Length of the invalid sequence that follows it (1 to 3), or none when the
  // bytes end in the middle of a sequence that could still have been valid.
  std::optional<std::uint8_t> error_len;

  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;

  std::string display() const;
  ErrorRef cause() const noexcept { return {}; }
};

// None when `bytes` is valid UTF-8 (no surrogates, no overlong forms, nothing
// above U+10FFFF), else the first problem.
std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept;

// `bytes` with each invalid sequence (as reported by check_utf8) replaced by
// U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace zorf
