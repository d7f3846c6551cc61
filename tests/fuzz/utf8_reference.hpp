// A UTF-8 checker for the fuzz targets that shares nothing with the one under
// test: instead of byte-range tables it encodes every scalar value once and
// looks byte sequences up among the encodings and their prefixes, so a
// mistake in the library's bounds cannot be repeated here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zorf::fuzz {

struct ReferenceError {
  std::size_t valid_up_to;
  std::optional<std::uint8_t> error_len;
};

class Utf8Reference {
 public:
  Utf8Reference() {
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // surrogates are not scalar values
      unsigned char bytes[4];
      const std::size_t length = encode(cp, bytes);
      for (std::size_t k = 1; k < length; ++k) prefixes_.push_back(key(bytes, k));
      complete_.push_back(key(bytes, length));
    }
    for (auto* keys : {&prefixes_, &complete_}) {
      std::sort(keys->begin(), keys->end());
      keys->erase(std::unique(keys->begin(), keys->end()), keys->end());
    }
  }

  // None when valid; else where the longest valid prefix ends and how many
  // bytes after it start a sequence no scalar value begins with (none when
  // the input ends while they still could).
  std::optional<ReferenceError> check(std::string_view text) const {
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
      const std::size_t left = text.size() - i;
      std::size_t k = 1;
      for (; k <= std::min<std::size_t>(4, left); ++k) {
        if (is_complete(data + i, k)) break;
        if (!is_prefix(data + i, k)) break;
      }
      if (k <= std::min<std::size_t>(4, left) && is_complete(data + i, k)) {
        i += k;
        continue;
      }
      // data[i, i + k) is the first run of bytes that neither completes nor
      // continues a sequence; when k passed the end, the input was cut short.
      if (k > left) return ReferenceError{i, std::nullopt};
      return ReferenceError{i, static_cast<std::uint8_t>(std::max<std::size_t>(k - 1, 1))};
    }
    return std::nullopt;
  }

  bool valid(std::string_view text) const { return !check(text); }

 private:
  static std::size_t encode(std::uint32_t cp, unsigned char* out) {
    if (cp < 0x80) {
      out[0] = static_cast<unsigned char>(cp);
      return 1;
    }
    if (cp < 0x800) {
      out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
      out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      return 2;
    }
    if (cp < 0x10000) {
      out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
      out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
  }

  static std::uint64_t key(const unsigned char* bytes, std::size_t length) {
    std::uint64_t value = length;
    for (std::size_t k = 0; k < length; ++k) value |= static_cast<std::uint64_t>(bytes[k]) << (8 * (k + 1));
    return value;
  }

  bool is_prefix(const unsigned char* bytes, std::size_t length) const {
    return std::binary_search(prefixes_.begin(), prefixes_.end(), key(bytes, length));
  }
  bool is_complete(const unsigned char* bytes, std::size_t length) const {
    return std::binary_search(complete_.begin(), complete_.end(), key(bytes, length));
  }

  // Proper prefixes of encodings, and whole encodings; UTF-8 is prefix-free,
  // so no byte string is in both.
  std::vector<std::uint64_t> prefixes_;
  std::vector<std::uint64_t> complete_;
};

}  // namespace zorf::fuzz
