#include <gtest/gtest.h>

#include "fake_nvml.hpp"
#include "node_id.hpp"

using namespace zorf;

TEST(Smoke, ComputesAndCaches) {
  test::FakeNvml fake;
  fake.configure({"uuid_text GPU-b", "uuid_text GPU-a"});
  const auto path = fake.path("cache");
  auto id = get_gpu_node_id(path);
  ASSERT_TRUE(id.has_value()) << id.error().chain();
  EXPECT_EQ(*id, test::b3sum("GPU-aGPU-b"));
  EXPECT_EQ(test::read_file(path), *id);
  for (auto& l : fake.log()) std::printf("%s\n", l.c_str());
}
