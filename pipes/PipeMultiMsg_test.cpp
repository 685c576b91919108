#include "pipes/PipeMultiMsg.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <vector>

namespace pipes {
namespace {

size_t OpenDescriptorCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(i * 13 + 1);
  }
  return bytes;
}

std::vector<uint8_t> ReadAll(TStream& stream) {
  std::vector<uint8_t> bytes(static_cast<size_t>(stream.Size()));
  stream.SetPosition(0);
  EXPECT_EQ(static_cast<int32_t>(bytes.size()),
            stream.Read(bytes.data(), static_cast<int32_t>(bytes.size())));
  return bytes;
}

class PipeMultiMsgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FDirectory =
        std::filesystem::temp_directory_path() / ("qn-pmm-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(FDirectory);
    TPipeMultiMsg::SetTempDirectory(FDirectory.string());
  }
  void TearDown() override {
    TPipeMultiMsg::SetTempDirectory(std::nullopt);
    std::filesystem::remove_all(FDirectory);
  }

  std::filesystem::path FDirectory;
};

TEST_F(PipeMultiMsgTest, CollectsPartsInAFileThatLeavesNoTrace) {
  const size_t descriptors = OpenDescriptorCount();
  const auto a = Pattern(70000);
  const auto b = Pattern(5);
  {
    TPipeMultiMsg assembly;
    EXPECT_FALSE(assembly.InMemory());
    EXPECT_EQ(descriptors + 1, OpenDescriptorCount());
    assembly.Append(a.data(), static_cast<int32_t>(a.size()));
    assembly.Append(b.data(), static_cast<int32_t>(b.size()));
    auto expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(expected, ReadAll(assembly.Stream()));
    EXPECT_TRUE(std::filesystem::is_empty(FDirectory));
  }
  EXPECT_EQ(descriptors, OpenDescriptorCount());
}

TEST_F(PipeMultiMsgTest, WithoutATemporaryDirectoryPartsStayInMemory) {
  TPipeMultiMsg::SetTempDirectory((FDirectory / "missing").string());
  TPipeMultiMsg assembly;
  EXPECT_TRUE(assembly.InMemory());
  const auto a = Pattern(100000);
  assembly.Append(a.data(), static_cast<int32_t>(a.size()));
  EXPECT_EQ(a, ReadAll(assembly.Stream()));
}

TEST_F(PipeMultiMsgTest, AFileThatFailsMovesToMemoryWithNothingLost) {
  // A file-size limit makes the file fail part way, like a full disk.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  ASSERT_EQ(0, ::sigaction(SIGXFSZ, &ignore, &previous));
  rlimit old{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
  rlimit limited = old;
  limited.rlim_cur = 100000;
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limited));

  const auto a = Pattern(65534);
  std::vector<uint8_t> expected;
  {
    TPipeMultiMsg assembly;
    ASSERT_FALSE(assembly.InMemory());
    for (int i = 0; i < 4; ++i) {
      assembly.Append(a.data(), static_cast<int32_t>(a.size()));
      expected.insert(expected.end(), a.begin(), a.end());
    }
    EXPECT_TRUE(assembly.InMemory());
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &old));
    EXPECT_EQ(expected, ReadAll(assembly.Stream()));
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::sigaction(SIGXFSZ, &previous, nullptr);
}

}  // namespace
}  // namespace pipes
