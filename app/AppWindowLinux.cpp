#include "app/AppWindow.h"

#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Error.h"

// The endpoint is an abstract datagram socket "\0QNAppWindow.<uid>.<handle>".
// Datagrams need no connection to accept and arrive whole, so a busy or
// blocked main thread never holds up the sender, and a request that was sent
// is still there when the main thread gets to it. The receiver asks the
// kernel for each sender's credentials, which the sender cannot forge.

namespace app {

namespace {

constexpr uint32_t kActivateRequest = 0x57414E51;  // "QNAW"
constexpr size_t kRequestSize = 8;
constexpr int kBindAttempts = 64;

void PutLE32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<unsigned char>(v >> (8 * i));
  }
}

uint32_t GetLE32(const unsigned char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    v |= static_cast<uint32_t>(p[i]) << (8 * i);
  }
  return v;
}

socklen_t AddressOf(TAppWindowHandle window, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  char name[64];
  const int n = std::snprintf(name, sizeof name, "QNAppWindow.%u.%08x",
                              static_cast<unsigned>(::geteuid()), static_cast<unsigned>(window));
  // Abstract: a leading zero byte, then the name without a terminator.
  std::memcpy(address->sun_path + 1, name, static_cast<size_t>(n));
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
}

}  // namespace

TAppWindow::TAppWindow() {
  FSocket = platform::TScopedFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!FSocket) {
    platform::RaiseLastOSError("socket for the application window");
  }
  const int on = 1;
  if (::setsockopt(FSocket.Get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    platform::RaiseLastOSError("SO_PASSCRED for the application window");
  }
  // A random handle: unique among the windows alive, and not one a dead
  // process used a moment ago. A taken name is tried again with another.
  for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
    TAppWindowHandle handle = 0;
    if (::getrandom(&handle, sizeof handle, 0) != static_cast<ssize_t>(sizeof handle)) {
      platform::RaiseLastOSError("getrandom for the application window");
    }
    if (handle == 0) {
      continue;
    }
    sockaddr_un address;
    const socklen_t length = AddressOf(handle, &address);
    if (::bind(FSocket.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      FHandle = handle;
      return;
    }
    if (errno != EADDRINUSE) {
      platform::RaiseLastOSError("bind for the application window");
    }
  }
  errno = EADDRINUSE;
  platform::RaiseLastOSError("bind for the application window");
}

int TAppWindow::ServeRequests() {
  int accepted = 0;
  for (;;) {
    unsigned char data[kRequestSize + 1];
    iovec io{data, sizeof data};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg = {};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(FSocket.Get(), &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;  // EAGAIN: nothing more waits
    }
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    ucred sender = {};
    bool haveSender = false;
    for (; c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
          c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
        std::memcpy(&sender, CMSG_DATA(c), sizeof sender);
        haveSender = true;
      }
    }
    if (!haveSender || sender.uid != ::geteuid() || n != static_cast<ssize_t>(kRequestSize) ||
        (msg.msg_flags & MSG_TRUNC) != 0 || GetLE32(data) != kActivateRequest ||
        GetLE32(data + 4) != FHandle) {
      continue;
    }
    ++accepted;
  }
  if (accepted > 0 && OnActivate) {
    OnActivate(*this);
  }
  return accepted;
}

bool ActivateAppWindow(TAppWindowHandle window) {
  if (window == 0) {
    return false;
  }
  platform::TScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    return false;
  }
  unsigned char request[kRequestSize];
  PutLE32(request, kActivateRequest);
  PutLE32(request + 4, window);
  sockaddr_un address;
  const socklen_t length = AddressOf(window, &address);
  ssize_t rc;
  do {
    rc = ::sendto(fd.Get(), request, sizeof request, MSG_DONTWAIT | MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&address), length);
  } while (rc < 0 && errno == EINTR);
  return rc == static_cast<ssize_t>(sizeof request);
}

}  // namespace app
