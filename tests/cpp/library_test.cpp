#include <dlfcn.h>
#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "fake_nvml_controller.hpp"
#include "gpu/library.hpp"

namespace zorf::gpu {
namespace {

const std::string kFakeFull = FAKE_NVML_DIR "/full/libnvidia-ml.so.1";

// The conversion's result as one text: the C string and whether it is the
// input's own bytes, or the error with its cause.
std::string converted(std::string_view name) {
  const auto result = cstr_cow_from_bytes(name);
  if (!result) return chain(result.error());
  return std::string(result->c_str()) + (result->c_str() == name.data() ? " [in place]" : " [elsewhere]");
}

TEST(CStringFromBytes, UsesInPlaceCopiesOrRefuses) {
  const struct {
    std::string name, outcome;
  } cases[] = {
      {"", " [elsewhere]"},
      {"libnvidia-ml.so.1", "libnvidia-ml.so.1 [elsewhere]"},
      {std::string("nvmlInit_v2\0", 12), "nvmlInit_v2 [in place]"},
      {std::string("\0", 1), " [in place]"},
      {std::string("ab\0c\0", 5), "could not create a C string from bytes with trailing null: "
                                  "nul byte found in provided data at position: 2"},
      {std::string("\0\0", 2), "could not create a C string from bytes with trailing null: "
                               "nul byte found in provided data at position: 0"},
      {std::string("a\0bc", 4),
       "could not create a C string from bytes: nul byte found in provided data at position: 1"},
      {std::string("\0abc", 4),
       "could not create a C string from bytes: nul byte found in provided data at position: 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(converted(c.name), c.outcome) << test::hex(c.name);

  const std::string name("a\0b\0", 4);
  const auto refused = cstr_cow_from_bytes(name);
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().is<LibraryError::CreateCStringWithTrailing>());
  EXPECT_EQ(refused.error().cause().get_if<NulError>()->bytes, name);
  EXPECT_TRUE(cstr_cow_from_bytes(std::string("a\0b", 3)).error().is<LibraryError::CreateCString>());
}

// What the loader itself says about a failed dlopen of `name`.
std::string loader_open_error(const std::string& name) {
  void* handle = dlopen(name.c_str(), RTLD_LAZY);
  if (handle != nullptr) {
    dlclose(handle);
    return {};
  }
  return dlerror();
}

TEST(LibraryOpen, MissingLibraryGivesLoaderText) {
  const std::string name = "libzorf-no-such-library.so.7";
  const std::string expected = loader_open_error(name);
  ASSERT_NE(expected.find("cannot open shared object file"), std::string::npos) << expected;
  const auto library = Library::open(name, RTLD_LAZY);
  ASSERT_FALSE(library.has_value());
  ASSERT_TRUE(library.error().is<LibraryError::DlOpen>());
  EXPECT_EQ(library.error().display(), expected);
  EXPECT_EQ(std::get<LibraryError::DlOpen>(library.error().kind()).desc.bytes(), expected);
}

TEST(LibraryOpen, BadNameIsRefusedBeforeTheLoader) {
  test::FakeNvmlController fake;
  const auto library = Library::open(kFakeFull + std::string("\0x", 2), RTLD_LAZY);
  ASSERT_FALSE(library.has_value());
  EXPECT_TRUE(library.error().is<LibraryError::CreateCString>());
  EXPECT_EQ(library.error().cause().get_if<NulError>()->position, kFakeFull.size());
  EXPECT_TRUE(fake.log().empty());
}

TEST(LibraryGetImpl, ResolvesPresentAndReportsMissingSymbols) {
  test::FakeNvmlController fake;
  auto library = Library::open(kFakeFull, RTLD_LAZY | RTLD_LOCAL);
  ASSERT_TRUE(library.has_value()) << library.error().display();

  void* reference = dlopen(kFakeFull.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(reference, nullptr);
  for (const char* name : {"nvmlInit_v2", "nvmlShutdown", "nvmlDeviceGetUUID"}) {
    const auto address = library->get_impl(name);
    ASSERT_TRUE(address.has_value()) << name;
    EXPECT_EQ(*address, dlsym(reference, name)) << name;
  }

  dlerror();
  EXPECT_EQ(dlsym(reference, "nvmlNoSuchFunction"), nullptr);
  const std::string expected = dlerror();
  dlclose(reference);
  const auto missing = library->get_impl("nvmlNoSuchFunction");
  ASSERT_FALSE(missing.has_value());
  ASSERT_TRUE(missing.error().is<LibraryError::DlSym>());
  EXPECT_EQ(missing.error().display(), expected);
  EXPECT_NE(expected.find("undefined symbol: nvmlNoSuchFunction"), std::string::npos) << expected;
  EXPECT_EQ(missing.error().debug(), "DlSym { desc: \"" + expected + "\" }");

  const auto bad = library->get_impl(std::string("nvml\0Init", 9));
  ASSERT_FALSE(bad.has_value());
  EXPECT_TRUE(bad.error().is<LibraryError::CreateCString>());
}

TEST(LibraryLifetime, EachHandleIsClosedExactlyOnce) {
  test::FakeNvmlController fake;
  {
    auto first = Library::open(kFakeFull, RTLD_LAZY);
    auto second = Library::open(kFakeFull, RTLD_LAZY);
    ASSERT_TRUE(first.has_value() && second.has_value());
    std::optional<Library> moved(std::move(*first));  // the source gives up its handle
    *moved = std::move(*second);                       // closes the handle it held before
    EXPECT_EQ(fake.log(), std::vector<std::string>{"load"}) << "one handle must still be open";
  }
  EXPECT_EQ(fake.log(), (std::vector<std::string>{"load", "unload"}));
}

}  // namespace
}  // namespace zorf::gpu
