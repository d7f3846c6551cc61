#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <latch>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "cache_file.hpp"
#include "b3sum.hpp"
#include "cache_steps.hpp"
#include "fake_nvml_controller.hpp"
#include "scratch_folder.hpp"
#include "node_id.hpp"

namespace zorf {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kConfig = {"uuid_text GPU-2", "uuid_text GPU-1", "uuid_text GPU-3",
                                          "init_delay_us 30000"};

// Every caller that missed the cache ran a whole instance of its own.
void expect_balanced_instances(const test::FakeNvmlController& fake) {
  const std::size_t inits = fake.count("nvmlInit_v2");
  EXPECT_GE(inits, 1u);
  EXPECT_EQ(fake.count("nvmlShutdown"), inits);
  EXPECT_EQ(fake.count("nvmlDeviceGetUUID 0 96"), inits);
  EXPECT_EQ(fake.count("load"), fake.count("unload"));
}

TEST(Concurrency, ThreadsMissingTogetherAllGetTheSameId) {
  test::FakeNvmlController fake;
  fake.configure(kConfig);
  fs::create_directory(fake.path("out"));
  const std::string cache = fake.path("out/cache");
  const std::string expected = test::b3sum("GPU-1GPU-2GPU-3");

  constexpr int kThreads = 16;
  std::vector<std::string> results(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      const auto id = get_gpu_node_id(cache);
      results[static_cast<std::size_t>(i)] = id ? *id : chain(id.error());
    });
  }
  for (auto& thread : threads) thread.join();

  for (const auto& result : results) EXPECT_EQ(result, expected);
  EXPECT_EQ(test::list_dir(fake.path("out")), std::vector<std::string>{"cache"});
  EXPECT_EQ(test::read_file(cache), expected);
  expect_balanced_instances(fake);
}

// Writers compute and write at the same time while readers poll the path:
// none of them may ever see an empty or partial identifier.
TEST(Concurrency, ProcessesNeverSeeAPartialCache) {
  test::FakeNvmlController fake;
  fake.configure(kConfig);
  fs::create_directory(fake.path("out"));
  const std::string cache = fake.path("out/cache");
  const std::string expected = test::b3sum("GPU-1GPU-2GPU-3");

  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  constexpr int kWriters = 8, kReaders = 8;
  std::vector<pid_t> children;
  for (int i = 0; i < kWriters + kReaders; ++i) {
    const bool reader = i >= kWriters;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char byte;
      [[maybe_unused]] const ssize_t opened = ::read(gate[0], &byte, 1);  // returns once the gate closes
      if (!reader) {
        const auto id = get_gpu_node_id(cache);
        ::_exit(id && *id == expected ? 0 : 1);
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      for (;;) {
        const auto text = test::read_cache_if_present(cache);
        if (!text) ::_exit(3);
        if (*text) break;
        if (std::chrono::steady_clock::now() > deadline) ::_exit(2);
      }
      for (int reads = 0; reads < 2000; ++reads) {
        const auto text = test::read_cache_if_present(cache);
        if (!text || *text != expected) ::_exit(3);
      }
      const auto id = get_gpu_node_id(cache);
      if (!id || *id != expected) ::_exit(4);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // open the gate

  for (std::size_t i = 0; i < children.size(); ++i) {
    int status = 0;
    ASSERT_EQ(::waitpid(children[i], &status, 0), children[i]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (i < kWriters ? "writer " : "reader ") << i << " status " << status;
  }
  EXPECT_EQ(test::list_dir(fake.path("out")), std::vector<std::string>{"cache"});
  EXPECT_EQ(test::read_file(cache), expected);
  expect_balanced_instances(fake);
}

// A relative cache path while another thread moves the working directory
// back and forth: each miss's write happens wholly in the folder where its
// look found nothing, one of the two, so every write succeeds and no
// temporary file is left anywhere.
TEST(Concurrency, WorkingDirectoryChangesNeverSplitAWrite) {
  // tmpfs where there is one: thousands of flushes to a disk take minutes.
  std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/zorf-cwd-XXXXXX");
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  const fs::path folders[] = {root / "a", root / "b"};
  for (const auto& folder : folders) fs::create_directory(folder);
  const fs::path previous = fs::current_path();
  const bool previous_had_cache = fs::exists(fs::symlink_status(previous / "cache"));
  // Start inside the scratch folder: a write before the mover's first change
  // of directory would otherwise land wherever the test was started.
  fs::current_path(folders[0]);

  constexpr int kWrites = 20000;
  std::atomic<bool> done{false};
  std::thread mover([&] {
    for (std::size_t i = 0; !done.load(std::memory_order_relaxed); ++i) fs::current_path(folders[i % 2]);
  });
  struct stat folder_status[2];
  for (int i = 0; i < 2; ++i) ASSERT_EQ(::stat(folders[i].c_str(), &folder_status[i]), 0);
  int failures = 0;
  int writes_in[2] = {0, 0};
  for (int i = 0; i < kWrites; ++i) {
    const auto lookup = look_up_cache("cache");
    const auto* absent = lookup ? std::get_if<CacheAbsent>(&*lookup) : nullptr;
    if (absent == nullptr || !absent->place) {
      ++failures;
      continue;
    }
    const FolderEntry& place = *absent->place;
    const auto written = write_new_cache(place, std::to_string(i));
    if (!written || *written != NewCacheFile::written) ++failures;
    struct stat status{};
    if (::fstat(place.folder.get(), &status) != 0) ++failures;
    for (int f = 0; f < 2; ++f)
      if (status.st_dev == folder_status[f].st_dev && status.st_ino == folder_status[f].st_ino) ++writes_in[f];
    // Gone again, from the folder it was written in, for the next look to miss.
    if (::unlinkat(place.folder.get(), place.name.c_str(), 0) != 0) ++failures;
  }
  done = true;
  mover.join();
  fs::current_path(previous);

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(writes_in[0] + writes_in[1], kWrites) << "a write landed outside the two folders";
  EXPECT_GT(writes_in[0], 0);
  EXPECT_GT(writes_in[1], 0);
  for (const auto& folder : folders) EXPECT_TRUE(test::list_dir(folder).empty()) << folder;
  EXPECT_EQ(fs::exists(fs::symlink_status(previous / "cache")), previous_had_cache)
      << "a relative write escaped the scratch folder into " << previous;
  fs::remove_all(root);
}

}  // namespace
}  // namespace zorf
