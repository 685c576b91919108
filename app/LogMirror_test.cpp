// The log mirrored to a stream with time stamps.

#include "app/LogMirror.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

namespace app {
namespace {

// A stream whose text can be read back.
class TMemoryStream {
 public:
  TMemoryStream() : FFile(::open_memstream(&FBuffer, &FSize)) {}
  ~TMemoryStream() {
    std::fclose(FFile);
    std::free(FBuffer);
  }
  std::FILE* File() { return FFile; }
  std::string Text() {
    std::fflush(FFile);
    return std::string(FBuffer, FSize);
  }

 private:
  char* FBuffer = nullptr;
  size_t FSize = 0;
  std::FILE* FFile;
};

TEST(StampLine, PutsTheLocalTimeToTheMillisecondFirst) {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  // 2026-12-10 15:26:08.045 UTC
  const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796916368045));
  EXPECT_EQ(StampLine("Server started.", when), "2026-12-10 15:26:08.045 Server started.");
  EXPECT_EQ(StampLine("", when), "2026-12-10 15:26:08.045 ");
}

TEST(LogMirror, WritesEveryLineAsItIsAddedAlsoThoseClearedLater) {
  core::TMemo memo("statMemo", nullptr, 0, 0, 10, 10);
  TMemoryStream out;
  {
    TLogMirror mirror(memo, out.File());
    memo.Add("Device Count: 2");
    memo.Clear();
    memo.Add("Client 7 connected [0]");
    mirror.Write("not the log's");
  }
  memo.Add("after the mirror");

  const std::string text = out.Text();
  const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
  EXPECT_TRUE(std::regex_match(
      text, std::regex(stamp + "Device Count: 2\n" + stamp + R"(Client 7 connected \[0\]\n)" +
                       stamp + "not the log's\n")))
      << text;
}

}  // namespace
}  // namespace app
