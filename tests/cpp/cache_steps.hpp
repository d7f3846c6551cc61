// The cache file's two steps of a call, as get_gpu_node_id takes them but
// without NVML between them: the look at the path, and the write of a miss
// where the look found nothing.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cache_file.hpp"

namespace zorf::test {

// The text of the file at `path`, or nullopt when there is none.
std::expected<std::optional<std::string>, CacheReadError> read_cache_if_present(const std::string& path);

// What a read of the path gives, as one text: "absent", the text itself, or
// "error: " and the cause.
std::string read_outcome(const std::string& path);

// `content` written where look_up_cache finds no file at `path`, or what a
// write there fails with. EEXIST where it finds a file, or one it cannot
// read: no miss, so nothing is written.
std::expected<NewCacheFile, OsError> write_on_miss(const std::string& path, std::string_view content);

}  // namespace zorf::test
