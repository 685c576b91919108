#include "platform/PipeBytes.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform {
namespace {

TEST(PipeBytesTest, CopiesEveryLengthExactly) {
  for (size_t size : {0u, 1u, 255u, 256u, 257u, 4096u, 32768u, 65534u}) {
    SCOPED_TRACE(size);
    std::vector<unsigned char> from(size + 2), to(size + 2, 0xEE);
    for (size_t i = 0; i < from.size(); ++i) {
      from[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    CopyBytes(to.data() + 1, from.data() + 1, size);
    EXPECT_EQ(0xEE, to.front());
    EXPECT_EQ(0xEE, to.back());
    EXPECT_TRUE(std::equal(from.begin() + 1, from.end() - 1, to.begin() + 1));
  }
}

}  // namespace
}  // namespace platform
