#include "app/AppWindow.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace app {
namespace {

constexpr int kDeadlineMs = 60000;

bool WaitReadable(const TAppWindow& window) {
  pollfd p{window.RequestFd(), POLLIN, 0};
  return ::poll(&p, 1, kDeadlineMs) == 1;
}

// Sends raw bytes to a window's endpoint, as a request from elsewhere would.
bool SendRaw(TAppWindowHandle window,
             const std::vector<unsigned char>& bytes,
             uid_t owner = ::geteuid()) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  char name[64];
  const int n = std::snprintf(name, sizeof name, "QNAppWindow.%u.%08x",
                              static_cast<unsigned>(owner), static_cast<unsigned>(window));
  std::memcpy(address.sun_path + 1, name, static_cast<size_t>(n));
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
  platform::TScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return ::sendto(fd.Get(), bytes.data(), bytes.size(), 0,
                  reinterpret_cast<const sockaddr*>(&address),
                  length) == static_cast<ssize_t>(bytes.size());
}

std::vector<unsigned char> Request(uint32_t magic, uint32_t window) {
  std::vector<unsigned char> bytes;
  for (uint32_t v : {magic, window}) {
    for (int i = 0; i < 4; ++i) {
      bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
  }
  return bytes;
}

TEST(AppWindow, HandlesAreDistinctAndNeverZero) {
  std::vector<std::unique_ptr<TAppWindow>> windows;
  std::set<TAppWindowHandle> handles;
  for (int i = 0; i < 20; ++i) {
    windows.push_back(std::make_unique<TAppWindow>());
    EXPECT_NE(0u, windows.back()->Handle());
    handles.insert(windows.back()->Handle());
  }
  EXPECT_EQ(windows.size(), handles.size());
}

TEST(AppWindow, ActivateRequestReachesTheWindowOnce) {
  TAppWindow window;
  int activations = 0;
  window.OnActivate = [&](TAppWindow& sender) {
    EXPECT_EQ(&window, &sender);
    ++activations;
  };
  EXPECT_EQ(0, window.ServeRequests());
  EXPECT_EQ(0, activations);

  ASSERT_TRUE(ActivateAppWindow(window.Handle()));
  ASSERT_TRUE(WaitReadable(window));
  EXPECT_EQ(1, window.ServeRequests());
  EXPECT_EQ(1, activations);
  EXPECT_EQ(0, window.ServeRequests());
  EXPECT_EQ(1, activations);
}

TEST(AppWindow, RequestsWaitingTogetherActivateOnce) {
  TAppWindow window;
  int activations = 0;
  window.OnActivate = [&](TAppWindow&) { ++activations; };
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ActivateAppWindow(window.Handle()));
  }
  ASSERT_TRUE(WaitReadable(window));
  // Datagrams to one's own socket are queued by the time sendto returns.
  EXPECT_EQ(3, window.ServeRequests());
  EXPECT_EQ(1, activations);
}

TEST(AppWindow, NoWindowNoDelivery) {
  EXPECT_FALSE(ActivateAppWindow(0));
  TAppWindowHandle gone;
  {
    TAppWindow window;
    gone = window.Handle();
  }
  EXPECT_FALSE(ActivateAppWindow(gone));
}

TEST(AppWindow, MalformedRequestsAreDropped) {
  TAppWindow window;
  TAppWindow other;
  int activations = 0;
  window.OnActivate = [&](TAppWindow&) { ++activations; };
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
  };
  auto longer = Request(0x57414E51, window.Handle());
  longer.push_back(0);
  const Case kCases[] = {
      {"empty", {}},
      {"short", {0x51, 0x4E, 0x41}},
      {"longer", longer},
      {"wrong magic", Request(0x12345678, window.Handle())},
      {"another window's handle", Request(0x57414E51, other.Handle())},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(SendRaw(window.Handle(), c.bytes));
    ASSERT_TRUE(WaitReadable(window));
    EXPECT_EQ(0, window.ServeRequests());
  }
  EXPECT_EQ(0, activations);
  // A good one after all that still works.
  ASSERT_TRUE(SendRaw(window.Handle(), Request(0x57414E51, window.Handle())));
  ASSERT_TRUE(WaitReadable(window));
  EXPECT_EQ(1, window.ServeRequests());
  EXPECT_EQ(1, activations);
}

TEST(AppWindow, RequestFromAnotherUserIsDropped) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to send as another user";
  }
  TAppWindow window;
  int activations = 0;
  window.OnActivate = [&](TAppWindow&) { ++activations; };
  const TAppWindowHandle handle = window.Handle();
  const auto request = Request(0x57414E51, handle);
  const pid_t child = ::fork();
  if (child == 0) {
    // The request names root's endpoint, but comes from another user.
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(2);
    }
    ::_exit(SendRaw(handle, request, 0) ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  ASSERT_TRUE(WaitReadable(window));
  EXPECT_EQ(0, window.ServeRequests());
  EXPECT_EQ(0, activations);
}

TEST(AppWindow, HandlerExceptionReachesTheCallerAndRequestsAreNotRepeated) {
  TAppWindow window;
  window.OnActivate = [](TAppWindow&) { throw std::runtime_error("handler failed"); };
  ASSERT_TRUE(ActivateAppWindow(window.Handle()));
  ASSERT_TRUE(WaitReadable(window));
  EXPECT_THROW(window.ServeRequests(), std::runtime_error);
  EXPECT_EQ(0, window.ServeRequests());
}

}  // namespace
}  // namespace app
