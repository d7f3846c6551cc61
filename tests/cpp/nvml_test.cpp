#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <type_traits>
#include <vector>

#include "b3sum.hpp"
#include "case_name.hpp"
#include "fake_nvml_controller.hpp"
#include "scratch_folder.hpp"
#include "gpu/device.hpp"
#include "gpu/nvml.hpp"
#include "node_id.hpp"
#include "support/internal_failure.hpp"

namespace zorf::gpu {
namespace {

using Log = std::vector<std::string>;

// The loader's own text for looking up `symbol` in the NVML it finds.
std::string loader_symbol_error(const char* symbol) {
  void* handle = dlopen(std::string(kNvmlSoname).c_str(), RTLD_LAZY);
  if (handle == nullptr) return "cannot open NVML";
  dlerror();
  const std::string text = dlsym(handle, symbol) == nullptr ? dlerror() : "resolved";
  dlclose(handle);
  return text;
}

// A query's result as one text: the value, or "error: " and the display
// texts of the error and the causes below it.
std::string error_text(const NvmlError& error) { return "error: " + chain(error); }
template <class T>
std::string outcome(const std::expected<T, NvmlError>& result) {
  if (!result) return error_text(result.error());
  if constexpr (std::is_same_v<T, std::string>)
    return *result;
  else
    return std::to_string(*result);
}

TEST(NvmlInit, FailureCodeClosesLibraryWithoutShutdown) {
  const struct {
    const char* rc;
    const char* error;
  } cases[] = {{"9", "NVIDIA driver is not loaded"},
               {"1", "NVML was not first initialized with `Nvml::init()`"},
               {"999", "an internal driver error occured"},
               {"23", "unexpected enum variant value: 23"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rc);
    test::FakeNvmlController fake;
    fake.configure({"uuid_text GPU-a", std::string("init_rc ") + c.rc});
    const auto nvml = Nvml::init();
    ASSERT_FALSE(nvml.has_value());
    EXPECT_EQ(nvml.error().display(), c.error);
    EXPECT_EQ(fake.log(), (Log{"load", "nvmlInit_v2", "unload"}));
  }
}

TEST(NvmlEnd, ShutsDownOnceThenUnloadsOnEveryWayOut) {
  enum Ending { kEnd, kDestructor, kMovedThenEnd, kEndTwice };
  for (const Ending ending : {kEnd, kDestructor, kMovedThenEnd, kEndTwice}) {
    SCOPED_TRACE(ending);
    test::FakeNvmlController fake;
    fake.configure({"uuid_text GPU-a", "shutdown_rc 3"});
    {
      auto nvml = Nvml::init();
      ASSERT_TRUE(nvml.has_value()) << nvml.error().display();
      EXPECT_EQ(fake.log(), (Log{"load", "nvmlInit_v2"}));
      if (ending == kMovedThenEnd) {
        Nvml owner = std::move(*nvml);  // the moved-from instance must end nothing
        owner.end();
      }
      if (ending == kEnd || ending == kEndTwice) nvml->end();
      if (ending == kEndTwice) nvml->end();
    }
    EXPECT_EQ(fake.log(), (Log{"load", "nvmlInit_v2", "nvmlShutdown", "unload"}));
  }
}

TEST(NvmlDeviceCount, ReturnsCountOrMappedCode) {
  const struct {
    std::vector<std::string> config;
    std::string outcome;
  } cases[] = {
      {{"uuid_text a", "uuid_text b"}, "2"},
      {{}, "0"},
      {{"count 4294967295"}, "4294967295"},
      {{"uuid_text a", "count_rc 3"}, "error: the requested operation is not available on the target device"},
      {{"count_rc 1000"}, "error: unexpected enum variant value: 1000"},
  };
  for (const auto& c : cases) {
    test::FakeNvmlController fake;
    fake.configure(c.config);
    auto nvml = Nvml::init();
    ASSERT_TRUE(nvml.has_value());
    EXPECT_EQ(outcome(nvml->device_count()), c.outcome);
    EXPECT_EQ(fake.log().back(), "nvmlDeviceGetCount_v2");
  }
}

TEST(NvmlDeviceByIndex, PassesIndexUncheckedAndStaysUsable) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a", "uuid_text GPU-b", "count 5", "handle_rc 1 15"});
  auto nvml = Nvml::init();
  ASSERT_TRUE(nvml.has_value());
  ASSERT_EQ(nvml->device_count(), 5u);
  const struct {
    std::uint32_t index;
    std::string outcome;
  } cases[] = {{4, "error: a supplied argument was invalid"},
               {4294967295u, "error: a supplied argument was invalid"},
               {1, "error: device fell off the bus or has otherwise become inacessible"},
               {0, "GPU-a"}};
  for (const auto& c : cases) {
    const auto device = nvml->device_by_index(c.index);
    EXPECT_EQ(fake.log().back(), "nvmlDeviceGetHandleByIndex_v2 " + std::to_string(c.index));
    EXPECT_EQ(device ? outcome(device->uuid()) : error_text(device.error()), c.outcome);
  }
}

struct UuidCase {
  const char* name;
  std::vector<std::string> config;  // device 0 is queried
  std::string outcome;
};

class DeviceUuid : public testing::TestWithParam<UuidCase> {};

TEST_P(DeviceUuid, ReadsTextBeforeFirstNul) {
  test::FakeNvmlController fake;
  fake.configure(GetParam().config);
  auto nvml = Nvml::init();
  ASSERT_TRUE(nvml.has_value());
  const auto device = nvml->device_by_index(0);
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(outcome(device->uuid()), GetParam().outcome);
  EXPECT_EQ(fake.log().back(), "nvmlDeviceGetUUID 0 96");
}

const std::string k95(95, 'u');
const std::string k96 = std::string(48, 'a') + std::string(48, 'b');
const std::string kNotUtf8 = "error: could not interpret string as utf-8: ";

INSTANTIATE_TEST_SUITE_P(
    Texts, DeviceUuid,
    testing::Values(
        UuidCase{"Typical", {"uuid_text GPU-6f1e2a3b-0000-1111-2222-333344445555"},
                 "GPU-6f1e2a3b-0000-1111-2222-333344445555"},
        UuidCase{"ArbitraryBytes", {"uuid 01207f0a" + test::hex("\xC3\xA9 x")}, "\x01 \x7f\n\xC3\xA9 x"},
        UuidCase{"StopsAtFirstNul", {"uuid 4100420043"}, "A"},
        UuidCase{"Empty", {"uuid -"}, ""},
        UuidCase{"NvmlWroteNothing", {"uuid_text GPU-a", "uuid_rc 0 0"}, ""},
        UuidCase{"NinetyFiveBytes", {"uuid_text " + k95}, k95},
        UuidCase{"NinetySixBytesNoNul", {"uuid_text " + k96}, k96},
        UuidCase{"LongerThanBuffer", {"uuid_text " + k96 + "ccc"}, k96},
        UuidCase{"InvalidByte", {"uuid " + test::hex("GPU-\xFF")},
                 kNotUtf8 + "invalid utf-8 sequence of 1 bytes from index 4"},
        UuidCase{"CutSequence", {"uuid " + test::hex("GPU-\xE2\x82")},
                 kNotUtf8 + "incomplete utf-8 byte sequence from index 4"},
        UuidCase{"CutAtBufferEnd", {"uuid_text " + k95 + "\xC3\xA9"},
                 kNotUtf8 + "incomplete utf-8 byte sequence from index 95"},
        UuidCase{"InsufficientSize", {"uuid_text GPU-a", "uuid_rc 0 7"},
                 "error: an input argument is not large enough"},
        UuidCase{"GpuLost", {"uuid_text GPU-a", "uuid_rc 0 15"},
                 "error: device fell off the bus or has otherwise become inacessible"}),
    test::CaseName());

TEST(UuidText, NeverReadsPastTheBuffer) {
  std::string memory(Device::kUuidBufferSize, 'x');
  memory += "\xFF";  // just past the buffer: reading it would fail the UTF-8 check
  const auto text = uuid_text(memory.data(), Device::kUuidBufferSize);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, std::string(Device::kUuidBufferSize, 'x'));
}

// ---- Libraries lacking entry points, or none at all -------------------------

// The service on a library that fails at `step`: it never writes the cache.
void expect_service_failure(const test::FakeNvmlController& fake, Step step) {
  const std::string cache = fake.path("cache");
  const auto id = get_gpu_node_id(cache);
  ASSERT_FALSE(id.has_value());
  EXPECT_EQ(id.error().display(), ContextError(step).display()) << chain(id.error());
  EXPECT_FALSE(std::filesystem::exists(cache));
}

TEST(WithoutInitV2, InitFailsWithLoaderTextAndClosesLibrary) {
  const std::string text = loader_symbol_error("nvmlInit_v2");
  ASSERT_NE(text.find("undefined symbol: nvmlInit_v2"), std::string::npos) << text;
  test::FakeNvmlController fake;
  const auto nvml = Nvml::init();
  ASSERT_FALSE(nvml.has_value());
  EXPECT_EQ(error_text(nvml.error()), "error: function symbol failed to load: " + text);
  EXPECT_EQ(fake.log(), (Log{"load", "unload"}));

  fake.clear_log();
  expect_service_failure(fake, Step::InitNvml);
  EXPECT_EQ(fake.log(), (Log{"load", "unload"}));
}

TEST(WithoutUuid, InstanceWorksUntilTheFirstUuid) {
  const std::string text = loader_symbol_error("nvmlDeviceGetUUID");
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a", "uuid_text GPU-b"});
  {
    auto nvml = Nvml::init();
    ASSERT_TRUE(nvml.has_value());
    EXPECT_EQ(nvml->device_count(), 2u);
    const auto device = nvml->device_by_index(1);
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(outcome(device->uuid()), "error: function symbol failed to load: " + text);
  }
  fake.clear_log();
  expect_service_failure(fake, Step::DeviceUuid);
  EXPECT_EQ(fake.log(), (Log{"load", "nvmlInit_v2", "nvmlDeviceGetCount_v2", "nvmlDeviceGetHandleByIndex_v2 0",
                             "nvmlShutdown", "unload"}));
}

TEST(WithoutInitWithFlags, InitialisesNormally) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-b", "uuid_text GPU-a"});
  const auto id = get_gpu_node_id(fake.path("cache"));
  ASSERT_TRUE(id.has_value()) << chain(id.error());
  EXPECT_EQ(*id, test::b3sum("GPU-aGPU-b"));
  EXPECT_EQ(fake.log(), (Log{"load", "nvmlInit_v2", "nvmlDeviceGetCount_v2", "nvmlDeviceGetHandleByIndex_v2 0",
                             "nvmlDeviceGetUUID 0 96", "nvmlDeviceGetHandleByIndex_v2 1", "nvmlDeviceGetUUID 1 96",
                             "nvmlShutdown", "unload"}));
}

TEST(NullCount, NullAddressIsMissingAndNeverCalled) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a"});
  {
    auto library = Library::open(kNvmlSoname, RTLD_LAZY);
    ASSERT_TRUE(library.has_value());
    // A stale loader error must not be taken for this lookup's.
    ASSERT_EQ(dlopen("libzorf-no-such-library.so.7", RTLD_LAZY), nullptr);
    const auto address = library->get_impl("nvmlDeviceGetCount_v2");
    ASSERT_TRUE(address.has_value()) << address.error().display();
    EXPECT_EQ(*address, nullptr);
  }
  {
    auto nvml = Nvml::init();
    ASSERT_TRUE(nvml.has_value());
    const LibraryError* stored = nvml->lib().nvmlDeviceGetCount_v2.error();
    ASSERT_NE(stored, nullptr);
    EXPECT_TRUE(stored->is<LibraryError::DlSymUnknown>());
    EXPECT_EQ(outcome(nvml->device_count()),
              "error: function symbol failed to load: dlsym failed, but system did not report the error");
    EXPECT_EQ(nvml->device_by_index(0)->uuid(), "GPU-a");  // other entries are unaffected
  }
  fake.clear_log();
  expect_service_failure(fake, Step::DeviceCount);
  EXPECT_EQ(fake.log(), (Log{"load", "nvmlInit_v2", "nvmlShutdown", "unload"}));
}

TEST(NoNvml, InitReportsLoaderTextAndServiceWritesNothing) {
  void* system_nvml = dlopen(std::string(kNvmlSoname).c_str(), RTLD_LAZY);
  if (system_nvml != nullptr) {
    dlclose(system_nvml);
    GTEST_SKIP() << "an NVML library outside the test folders is on the loader's search path";
  }
  const std::string text = dlerror();
  ASSERT_NE(text.find("libnvidia-ml.so.1"), std::string::npos) << text;
  test::FakeNvmlController fake;
  const auto nvml = Nvml::init();
  ASSERT_FALSE(nvml.has_value());
  const auto* library_error = nvml.error().cause().get_if<LibraryError>();
  ASSERT_NE(library_error, nullptr);
  EXPECT_TRUE(library_error->is<LibraryError::DlOpen>());
  EXPECT_EQ(error_text(nvml.error()), "error: a libloading error occurred: " + text + ": " + text);
  expect_service_failure(fake, Step::InitNvml);
  EXPECT_FALSE(std::filesystem::exists(fake.path("fake_nvml.log")));
}

// The library stays loaded after the first instance ends here, so its
// configuration is read once per process: everything lives in one test.
TEST(WithoutShutdown, EndingFailsInternallyAndKeepsLibraryOpen) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-x"});
  const std::string cache = fake.path("cache");
  try {
    (void)get_gpu_node_id(cache);
    FAIL() << "expected an internal failure";
  } catch (const InternalFailure& failure) {
    const std::string text = loader_symbol_error("nvmlShutdown");
    ASSERT_NE(text.find("undefined symbol: nvmlShutdown"), std::string::npos) << text;
    EXPECT_EQ(failure.message(), "Expected function, got error.: DlSym { desc: \"" + text + "\" }");
  }
  EXPECT_EQ(test::read_file(cache), test::b3sum("GPU-x")) << "the cache is written before the instance ends";
  EXPECT_EQ(fake.log(), (Log{"load", "nvmlInit_v2", "nvmlDeviceGetCount_v2", "nvmlDeviceGetHandleByIndex_v2 0",
                             "nvmlDeviceGetUUID 0 96"}));
  void* resident = dlopen(std::string(kNvmlSoname).c_str(), RTLD_LAZY | RTLD_NOLOAD);
  EXPECT_NE(resident, nullptr) << "the library must stay loaded";
  if (resident != nullptr) dlclose(resident);

  fake.clear_log();
  {
    auto nvml = Nvml::init();
    ASSERT_TRUE(nvml.has_value());
    EXPECT_THROW(nvml->end(), InternalFailure);
    auto other = Nvml::init();
    ASSERT_TRUE(other.has_value());
    // Left to its destructor, the instance may not throw either.
  }
  EXPECT_EQ(fake.log(), (Log{"nvmlInit_v2", "nvmlInit_v2"}));
}

}  // namespace
}  // namespace zorf::gpu
