// The node identifier service: the cached identifier when the cache file is
// there, else one computed from every GPU's UUID and written to the cache.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context_error.hpp"

namespace zorf {

inline constexpr std::string_view kDefaultCachePath = "/tmp/zorf";

// The node identifier, or the error of the first step that failed. No path
// means kDefaultCachePath; any given text, the empty one included, is used
// unchanged.
std::expected<std::string, ContextError> get_gpu_node_id(std::optional<std::string_view> cache_file_path);

// BLAKE3 of the UUIDs sorted byte-wise and joined without separator, as 64
// lowercase hexadecimal characters.
std::string node_id_from_uuids(std::vector<std::string> uuids);

}  // namespace zorf
