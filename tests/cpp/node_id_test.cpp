#include "node_id.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "b3sum.hpp"
#include "case_name.hpp"
#include "fake_nvml_controller.hpp"
#include "scratch_folder.hpp"

namespace zorf {
namespace {

namespace fs = std::filesystem;
using Log = std::vector<std::string>;

const Log kTwoDeviceRun = {"load",
                           "nvmlInit_v2",
                           "nvmlDeviceGetCount_v2",
                           "nvmlDeviceGetHandleByIndex_v2 0",
                           "nvmlDeviceGetUUID 0 96",
                           "nvmlDeviceGetHandleByIndex_v2 1",
                           "nvmlDeviceGetUUID 1 96",
                           "nvmlShutdown",
                           "unload"};

std::vector<std::string> uuid_lines(const std::vector<std::string>& uuids) {
  std::vector<std::string> lines;
  for (const auto& uuid : uuids) lines.push_back("uuid " + test::hex(uuid));
  return lines;
}

// The service's result as one text: the identifier, or "error: " and the
// message with its causes.
std::string outcome(const std::expected<std::string, ContextError>& id) {
  return id ? *id : "error: " + chain(id.error());
}

TEST(CachePresent, ItsTextIsTheAnswerAndNvmlIsNotLoaded) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a"});
  const struct {
    std::string name, content, outcome;
  } files[] = {
      {"empty", "", ""},
      {"text", "abc\n", "abc\n"},
      {"id", std::string(64, 'f'), std::string(64, 'f')},
      {"non-ascii", "n\xC3\xB6\xE2\x82\xAC", "n\xC3\xB6\xE2\x82\xAC"},
      {"large", std::string(100'000, 'x'), std::string(100'000, 'x')},
      {"not-utf8", "ok\xFF", "error: Failed to read cache file: invalid utf-8 sequence of 1 bytes from index 2"},
      {"truncated", "abc\xC3", "error: Failed to read cache file: incomplete utf-8 byte sequence from index 3"},
  };
  for (const auto& f : files) test::write_file(fake.path(f.name), f.content);
  fs::create_symlink("text", fake.path("link"));
  fs::create_directory(fake.path("dir"));

  for (const auto& f : files) EXPECT_EQ(outcome(get_gpu_node_id(fake.path(f.name))), f.outcome) << f.name;
  EXPECT_EQ(outcome(get_gpu_node_id(fake.path("link"))), "abc\n");
  EXPECT_EQ(outcome(get_gpu_node_id(fake.path("dir"))),
            "error: Failed to read cache file: Is a directory (os error 21)");
  EXPECT_TRUE(fake.log().empty()) << "NVML must not be loaded";
  for (const auto& f : files) EXPECT_EQ(test::read_file(fake.path(f.name)), f.content) << f.name;
}

// ---- A fresh identifier ------------------------------------------------------

TEST(NodeId, ComputesWritesAndThenReadsBack) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-b", "uuid_text GPU-a"});
  const std::string cache = fake.path("cache");
  const auto id = get_gpu_node_id(cache);
  ASSERT_TRUE(id.has_value()) << chain(id.error());
  EXPECT_EQ(*id, test::b3sum("GPU-aGPU-b"));
  EXPECT_EQ(test::read_file(cache), *id);
  EXPECT_EQ(fs::file_size(cache), 64u);
  EXPECT_EQ(fake.log(), kTwoDeviceRun);

  EXPECT_EQ(get_gpu_node_id(cache), *id);
  EXPECT_EQ(fake.log(), kTwoDeviceRun) << "a present cache must not load NVML";
}

TEST(NodeId, ConsecutiveMissesEachRunTheirOwnInstance) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-b", "uuid_text GPU-a"});
  const auto first = get_gpu_node_id(fake.path("one"));
  const auto second = get_gpu_node_id(fake.path("two"));
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(*first, *second);
  Log twice = kTwoDeviceRun;
  twice.insert(twice.end(), kTwoDeviceRun.begin(), kTwoDeviceRun.end());
  EXPECT_EQ(fake.log(), twice);
}

TEST(NodeId, ShutdownCodeChangesNothing) {
  for (const char* rc : {"0", "3", "4294967295"}) {
    test::FakeNvmlController fake;
    fake.configure({"uuid_text GPU-b", "uuid_text GPU-a", std::string("shutdown_rc ") + rc});
    EXPECT_EQ(get_gpu_node_id(fake.path("cache")), test::b3sum("GPU-aGPU-b")) << rc;
    EXPECT_EQ(fake.log(), kTwoDeviceRun) << rc;
    fake.configure({"count 0", std::string("shutdown_rc ") + rc});
    const auto none = get_gpu_node_id(fake.path("other"));
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(chain(none.error()), "No GPUs found") << rc;
  }
}

struct OrderCase {
  const char* name;
  std::vector<std::string> uuids;  // in device index order
  std::string hashed;              // the sorted, joined UUIDs
};

class NodeIdOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(NodeIdOrder, HashesUuidsSortedBytewise) {
  const std::string expected = test::b3sum(GetParam().hashed);
  EXPECT_EQ(node_id_from_uuids(GetParam().uuids), expected);

  test::FakeNvmlController fake;
  fake.configure(uuid_lines(GetParam().uuids));
  EXPECT_EQ(get_gpu_node_id(fake.path("cache")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, NodeIdOrder,
    testing::Values(OrderCase{"Single", {"GPU-only"}, "GPU-only"},
                    OrderCase{"Reversed", {"GPU-b", "GPU-a"}, "GPU-aGPU-b"},
                    OrderCase{"InOrder", {"GPU-a", "GPU-b"}, "GPU-aGPU-b"},
                    OrderCase{"PrefixFirst", {"GPU-ab", "GPU-a"}, "GPU-aGPU-ab"},
                    OrderCase{"UppercaseFirst", {"gpu-a", "GPU-z"}, "GPU-zgpu-a"},
                    OrderCase{"HighBytesLast", {"\xC3\xA9", "z", "A"}, "Az\xC3\xA9"},
                    OrderCase{"EmptyUuid", {"x", ""}, "x"},
                    OrderCase{"Duplicates", {"same", "same"}, "samesame"},
                    OrderCase{"LongestUuid", {std::string(95, 'G'), "GPU-short"}, std::string(95, 'G') + "GPU-short"},
                    OrderCase{"NineDevices",
                              {"GPU-5", "GPU-8", "GPU-1", "GPU-9", "GPU-3", "GPU-7", "GPU-2", "GPU-6", "GPU-4"},
                              "GPU-1GPU-2GPU-3GPU-4GPU-5GPU-6GPU-7GPU-8GPU-9"}),
    test::CaseName());

TEST(NodeIdOrder, EveryEnumerationOrderGivesTheSameId) {
  std::vector<std::string> uuids = {"GPU-1", "GPU-10", "GPU-2", "gpu-0"};
  const std::string expected = test::b3sum("GPU-1GPU-10GPU-2gpu-0");
  do {
    EXPECT_EQ(node_id_from_uuids(uuids), expected);
  } while (std::next_permutation(uuids.begin(), uuids.end()));
}

// ---- Failures: the message, its cause, and NVML ended before unloading -------

struct FailureCase {
  const char* name;
  std::vector<std::string> config;
  std::string path;   // inside the scratch folder; "" is the empty path
  Step step;          // the step that fails
  std::string chain;  // its message and the causes
  Log log;
};

class NodeIdFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(NodeIdFailure, EndsInstanceAndWritesNothing) {
  const FailureCase& c = GetParam();
  test::FakeNvmlController fake;
  fake.configure(c.config);
  const auto before = test::list_dir(fake.dir());
  const auto id = get_gpu_node_id(c.path.empty() ? "" : fake.path(c.path));
  ASSERT_FALSE(id.has_value()) << *id;
  EXPECT_EQ(chain(id.error()), c.chain);
  EXPECT_EQ(id.error().display(), ContextError(c.step).display());
  EXPECT_EQ(fake.log(), c.log);
  auto after = test::list_dir(fake.dir());
  std::erase(after, "fake_nvml.log");
  EXPECT_EQ(after, before);
}

const Log kStart = {"load", "nvmlInit_v2", "nvmlDeviceGetCount_v2"};
Log run(Log middle) {
  Log log = kStart;
  log.insert(log.end(), middle.begin(), middle.end());
  log.insert(log.end(), {"nvmlShutdown", "unload"});
  return log;
}
const Log kOneDevice = {"nvmlDeviceGetHandleByIndex_v2 0", "nvmlDeviceGetUUID 0 96"};

INSTANTIATE_TEST_SUITE_P(
    Steps, NodeIdFailure,
    testing::Values(
        FailureCase{"InitCode", {"uuid_text a", "init_rc 9"}, "cache",
                    Step::InitNvml, "Failed to init nvml: NVIDIA driver is not loaded", {"load", "nvmlInit_v2", "unload"}},
        FailureCase{"InitCodeUnnamed", {"uuid_text a", "init_rc 1000"}, "cache",
                    Step::InitNvml, "Failed to init nvml: unexpected enum variant value: 1000",
                    {"load", "nvmlInit_v2", "unload"}},
        FailureCase{"CountCode", {"uuid_text a", "count_rc 3"}, "cache",
                    Step::DeviceCount, "Failed to get nvml device count: the requested operation is not available on the target device",
                    run({})},
        FailureCase{"NoGpus", {}, "cache", Step::NoGpus, "No GPUs found", run({})},
        FailureCase{"HandleCode",
                    {"uuid_text a", "uuid_text b", "handle_rc 1 15"},
                    "cache",
                    Step::DeviceByIndex, "Failed to get nvml device by index: device fell off the bus or has otherwise become inacessible",
                    run({"nvmlDeviceGetHandleByIndex_v2 0", "nvmlDeviceGetUUID 0 96",
                         "nvmlDeviceGetHandleByIndex_v2 1"})},
        FailureCase{"CountAboveDevices", {"uuid_text a", "count 3"}, "cache",
                    Step::DeviceByIndex, "Failed to get nvml device by index: a supplied argument was invalid",
                    run({"nvmlDeviceGetHandleByIndex_v2 0", "nvmlDeviceGetUUID 0 96",
                         "nvmlDeviceGetHandleByIndex_v2 1"})},
        FailureCase{"CountBeyondAnyAllocation", {"uuid_text a", "count 4294967295"}, "cache",
                    Step::DeviceByIndex, "Failed to get nvml device by index: a supplied argument was invalid",
                    run({"nvmlDeviceGetHandleByIndex_v2 0", "nvmlDeviceGetUUID 0 96",
                         "nvmlDeviceGetHandleByIndex_v2 1"})},
        FailureCase{"UuidCode", {"uuid_text a", "uuid_rc 0 7"}, "cache",
                    Step::DeviceUuid, "Failed to get device uuid: an input argument is not large enough", run(kOneDevice)},
        FailureCase{"UuidNotUtf8", {"uuid 41ff"}, "cache",
                    Step::DeviceUuid, "Failed to get device uuid: could not interpret string as utf-8: "
                    "invalid utf-8 sequence of 1 bytes from index 1",
                    run(kOneDevice)},
        FailureCase{"MissingDirectory", {"uuid_text a"}, "missing/cache",
                    Step::WriteCache, "Failed to write cache: No such file or directory (os error 2)", run(kOneDevice)},
        FailureCase{"MissingDirectoryWithSlash", {"uuid_text a"}, "missing/",
                    Step::WriteCache, "Failed to write cache: Is a directory (os error 21)", run(kOneDevice)},
        FailureCase{"EmptyPath", {"uuid_text a"}, "", Step::WriteCache, "Failed to write cache: No such file or directory (os error 2)",
                    run(kOneDevice)},
        FailureCase{"NulInPath", {"uuid_text a"}, std::string("fake_nvml.conf\0x", 16),
                    Step::WriteCache, "Failed to write cache: Invalid argument (os error 22)", run(kOneDevice)}),
    test::CaseName());

// ---- Dangling links: written through, then read back through ---------------

struct LinkCase {
  const char* name;
  // Made in this order, name and target, in the scratch folder; the first is
  // the cache path. A target starting with '@' is an absolute path into the
  // scratch folder.
  std::vector<std::pair<std::string, std::string>> links;
  std::string target;  // where the identifier lands
};

class NodeIdLink : public testing::TestWithParam<LinkCase> {};

TEST_P(NodeIdLink, DanglingLinkIsWrittenThroughAndReadBack) {
  const LinkCase& c = GetParam();
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a"});
  fs::create_directory(fake.path("sub"));
  for (const auto& [name, target] : c.links)
    fs::create_symlink(target.starts_with('@') ? fake.path(target.substr(1)) : target, fake.path(name));
  const std::string cache = fake.path(c.links.front().first);
  const auto id = get_gpu_node_id(cache);
  ASSERT_TRUE(id.has_value()) << chain(id.error());
  EXPECT_EQ(*id, test::b3sum("GPU-a"));
  for (const auto& link : c.links) EXPECT_TRUE(fs::is_symlink(fake.path(link.first))) << link.first;
  EXPECT_EQ(test::read_file(fake.path(c.target)), *id);

  fake.clear_log();
  EXPECT_EQ(get_gpu_node_id(cache), *id);
  EXPECT_TRUE(fake.log().empty()) << "the second call must find the cache through the link";
}

std::vector<std::pair<std::string, std::string>> forty_links() {
  std::vector<std::pair<std::string, std::string>> links;
  for (int i = 0; i < 39; ++i) links.emplace_back("l" + std::to_string(i), "l" + std::to_string(i + 1));
  links.emplace_back("l39", "target");
  return links;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NodeIdLink,
    testing::Values(LinkCase{"Relative", {{"link", "target"}}, "target"},
                    LinkCase{"IntoFolder", {{"link", "sub/target"}}, "sub/target"},
                    LinkCase{"UpFromSubfolder", {{"sub/link", "../target"}}, "target"},
                    LinkCase{"Absolute", {{"link", "@target"}}, "target"},
                    LinkCase{"Chain", {{"link", "hop"}, {"hop", "sub/../target"}}, "target"},
                    LinkCase{"ChainOfForty", forty_links(), "target"}),
    test::CaseName());

}  // namespace
}  // namespace zorf
