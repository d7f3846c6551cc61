#include "node_id.hpp"

#include <blake3.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "cache_file.hpp"
#include "gpu/device.hpp"
#include "gpu/nvml.hpp"
#include "support/expected.hpp"

namespace zorf {
namespace {

std::string to_hex(const std::array<std::uint8_t, BLAKE3_OUT_LEN>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(2 * digest.size(), '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return hex;
}

std::expected<std::vector<std::string>, ContextError> read_uuids(const gpu::Nvml& nvml) {
  const std::uint32_t count = ZORF_TRY(with_context(nvml.device_count(), Step::DeviceCount));
  if (count == 0) return std::unexpected(ContextError(Step::NoGpus));
  std::vector<std::string> uuids;
  // The count is NVML's word, not a size to allocate for; a bogus one must
  // end at the first index NVML refuses, not in a failed allocation.
  uuids.reserve(std::min<std::uint32_t>(count, 64));
  for (std::uint32_t index = 0; index < count; ++index) {
    const gpu::Device device = ZORF_TRY(with_context(nvml.device_by_index(index), Step::DeviceByIndex));
    uuids.push_back(ZORF_TRY(with_context(device.uuid(), Step::DeviceUuid)));
  }
  return uuids;
}

// Everything between a successful init and the end of the instance.
std::expected<std::string, ContextError> compute_and_store(const gpu::Nvml& nvml,
                                                           const std::expected<FolderEntry, OsError>& place) {
  std::string node_id = node_id_from_uuids(ZORF_TRY(read_uuids(nvml)));
  if (!place) return std::unexpected(ContextError(Step::WriteCache, place.error()));
  // A file that appeared since the read is kept, and this call returns what
  // it computed, as it would had the other writer been a moment later.
  ZORF_TRY(with_context(write_new_cache(*place, node_id), Step::WriteCache));
  return node_id;
}

}  // namespace

std::string node_id_from_uuids(std::vector<std::string> uuids) {
  // std::string compares as unsigned bytes (char_traits<char>::lt), so this
  // is a plain byte-wise order with prefixes first.
  std::sort(uuids.begin(), uuids.end());
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  for (const std::string& uuid : uuids) blake3_hasher_update(&hasher, uuid.data(), uuid.size());
  std::array<std::uint8_t, BLAKE3_OUT_LEN> digest;
  blake3_hasher_finalize(&hasher, digest.data(), digest.size());
  return to_hex(digest);
}

std::expected<std::string, ContextError> get_gpu_node_id(std::optional<std::string_view> cache_file_path) {
  const std::string path(cache_file_path.value_or(kDefaultCachePath));

  auto cached = ZORF_TRY(with_context(look_up_cache(path), Step::ReadCache));
  if (auto* text = std::get_if<std::string>(&cached)) return std::move(*text);
  // The write goes exactly where the read found nothing.
  const CacheAbsent& absent = std::get<CacheAbsent>(cached);

  gpu::Nvml nvml = ZORF_TRY(with_context(gpu::Nvml::init(), Step::InitNvml));
  auto node_id = compute_and_store(nvml, absent.place);
  // On every path past a successful init, success or failure, and after the
  // cache write. Throws when NVML cannot be shut down.
  nvml.end();
  return node_id;
}

}  // namespace zorf
