#include "cache_steps.hpp"

#include <cerrno>
#include <utility>
#include <variant>

namespace zorf::test {

std::expected<std::optional<std::string>, CacheReadError> read_cache_if_present(const std::string& path) {
  auto lookup = look_up_cache(path);
  if (!lookup) return std::unexpected(std::move(lookup.error()));
  if (auto* text = std::get_if<std::string>(&*lookup)) return std::move(*text);
  return std::nullopt;
}

std::string read_outcome(const std::string& path) {
  const auto read = read_cache_if_present(path);
  if (!read) return "error: " + std::visit([](const auto& cause) { return cause.display(); }, read.error());
  return *read ? **read : "absent";
}

std::expected<NewCacheFile, OsError> write_on_miss(const std::string& path, std::string_view content) {
  const auto lookup = look_up_cache(path);
  const auto* absent = lookup ? std::get_if<CacheAbsent>(&*lookup) : nullptr;
  if (absent == nullptr) return std::unexpected(OsError{EEXIST});
  if (!absent->place) return std::unexpected(absent->place.error());
  return write_new_cache(*absent->place, content);
}

}  // namespace zorf::test
