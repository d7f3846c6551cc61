// uuid_text on the buffer NVML fills: any 96 bytes, as the fuzzer's input cut
// or NUL-padded to that size (a zeroed buffer that NVML wrote a prefix of).
// The buffer lives on the heap at exactly 96 bytes, so a read past its end is
// an AddressSanitizer report.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "gpu/device.hpp"
#include "fuzz_check.hpp"
#include "utf8_reference.hpp"

namespace {

using zorf::fuzz::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zorf::fuzz::Utf8Reference reference;
  constexpr std::size_t kSize = zorf::gpu::Device::kUuidBufferSize;

  const auto buffer = std::make_unique<char[]>(kSize);  // zeroed
  std::memcpy(buffer.get(), data, std::min(size, kSize));

  const void* nul = std::memchr(buffer.get(), '\0', kSize);
  const std::string_view text(buffer.get(), nul ? static_cast<const char*>(nul) - buffer.get() : kSize);
  const auto expected = reference.check(text);

  const auto result = zorf::gpu::uuid_text(buffer.get(), kSize);
  if (result) {
    check(!expected, "accepted text that is not UTF-8");
    check(result->size() <= kSize, "text longer than the buffer");
    check(*result == text, "text differs from the bytes before the first NUL");
    return 0;
  }

  check(expected.has_value(), "rejected valid UTF-8");
  check(result.error().kind() == zorf::gpu::NvmlErrorKind::Utf8Error, "error of another kind than Utf8Error");
  const zorf::Utf8Error* error = result.error().cause().get_if<zorf::Utf8Error>();
  check(error != nullptr, "Utf8Error without its payload");
  check(error->valid_up_to == expected->valid_up_to, "valid_up_to differs from the reference");
  check(error->error_len == expected->error_len, "error_len differs from the reference");

  // The same facts stated on their own: what comes before is valid, what the
  // error points at is not, and a missing length means the text ended early.
  check(error->valid_up_to < text.size(), "valid_up_to at or past the end");
  check(reference.valid(text.substr(0, error->valid_up_to)), "the prefix before valid_up_to is not valid");
  if (error->error_len) {
    check(*error->error_len >= 1 && *error->error_len <= 3, "error_len outside 1..3");
    check(error->valid_up_to + *error->error_len <= text.size(), "error_len runs past the end");
    check(!reference.valid(text.substr(error->valid_up_to, *error->error_len)), "the bytes error_len covers are valid");
    check(!reference.valid(text.substr(0, error->valid_up_to + *error->error_len)), "the prefix through error_len is valid");
  } else {
    check(text.size() - error->valid_up_to < 4, "an incomplete sequence of 4 or more bytes");
  }
  return 0;
}
