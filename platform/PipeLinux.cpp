#include "platform/Pipe.h"

#include "platform/PipeBytes.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform {

// Grants the implementation access to the private fields of a pending record.
struct TPipeOverlappedAccess {
  using TOperation = TPipeOverlapped::TOperation;
  static void Start(TPipeOverlapped& o,
                    TOperation operation,
                    TPipeHandle pipe,
                    void* buffer,
                    uint32_t size,
                    uint64_t generation,
                    TWaitHandle wait) {
    o.FOperation = operation;
    o.FPipe = pipe;
    o.FBuffer = buffer;
    o.FSize = size;
    o.FGeneration = generation;
    o.FWait = wait;
  }
  static TOperation Operation(const TPipeOverlapped& o) { return o.FOperation; }
  static TPipeHandle Pipe(const TPipeOverlapped& o) { return o.FPipe; }
  static void* Buffer(const TPipeOverlapped& o) { return o.FBuffer; }
  static uint32_t Size(const TPipeOverlapped& o) { return o.FSize; }
  static uint64_t Generation(const TPipeOverlapped& o) { return o.FGeneration; }
};

namespace {

using TAccess = TPipeOverlappedAccess;
using TOperation = TAccess::TOperation;

// Abstract socket names live in sun_path after its leading 0 byte.
constexpr size_t kMaxSocketName = sizeof(sockaddr_un::sun_path) - 1;

// Handles cycle through 1..0xFFFF so that their low 16 bits identify an open
// handle and a closed one comes back only after the rest of the range.
constexpr uint32_t kFirstHandle = 1;
constexpr uint32_t kLastHandle = 0xFFFF;

// Internal marker of "cannot complete now"; never returned to callers.
constexpr int32_t kWouldBlock = -1;

// Large messages must fit the send buffer; a SEQPACKET send also fails (EMSGSIZE)
// above SO_SNDBUF - 32 bytes.
constexpr int kSendBufferReserve = 32;

// FlushPipe: an unread count below this is no message but the kernel's
// accounting of one being freed; a wait for the client is looked at again at
// least this often.
constexpr int kTransientUnread = 256;
constexpr uint32_t kFlushSafetyMs = 1000;

// Room for the sender's credentials; see ReceiveMessage.
constexpr size_t kControlSpace = CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * 4);

int32_t FromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
    case ECONNREFUSED:
      return ERROR_FILE_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EADDRINUSE:
      return ERROR_ACCESS_DENIED;
    case EBADF:
    case ENOTSOCK:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ECONNRESET:
    case ENOTCONN:
      return ERROR_BROKEN_PIPE;
    case EPIPE:
      return ERROR_NO_DATA;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    default:
      return kErrorFromErrno | err;
  }
}

// Splits "\\.\pipe\name" into the name; false when the path is not a pipe
// path or the name is empty or holds a backslash.
bool NameFromPath(std::string_view path, std::string_view* name) {
  if (path.size() <= kPipePathPrefix.size()) {
    return false;
  }
  for (size_t i = 0; i < kPipePathPrefix.size(); ++i) {
    const char a = path[i];
    const char b = kPipePathPrefix[i];
    const char lowerA = (a >= 'A' && a <= 'Z') ? static_cast<char>(a - 'A' + 'a') : a;
    if (lowerA != b) {
      return false;
    }
  }
  *name = path.substr(kPipePathPrefix.size());
  return name->find('\\') == std::string_view::npos;
}

int32_t AddressFor(std::string_view path, sockaddr_un* address, socklen_t* length) {
  std::string_view name;
  if (!NameFromPath(path, &name)) {
    return ERROR_INVALID_NAME;
  }
  if (name.size() > kMaxSocketName) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path + 1, name.data(), name.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return ERROR_SUCCESS;
}

// Every message then carries the sender's credentials; a message of 0 bytes is
// told from the end of the pipe by them (recv returns 0 for both).
bool EnableCredentials(int fd) {
  const int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) == 0;
}

// Closes descriptors a peer passed along with a message: a client must not be
// able to plant descriptors in this process.
void DropPassedDescriptors(msghdr& header) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        if (fd >= 0) {
          ::close(fd);
        }
      }
    }
  }
}

bool HasCredentials(msghdr& header) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
      return true;
    }
  }
  return false;
}

// One recvmsg with room for credentials. Returns the message length (with
// MSG_TRUNC the full length even when the buffer is smaller), or kWouldBlock,
// or the error; *endOfPipe is set when 0 bytes mean the peer has closed.
int64_t ReceiveMessage(int fd, void* buffer, size_t size, int flags, bool* endOfPipe, int* err) {
  alignas(cmsghdr) unsigned char control[kControlSpace];
  iovec io{buffer, size};
  msghdr header{};
  header.msg_iov = size > 0 ? &io : nullptr;
  header.msg_iovlen = size > 0 ? 1 : 0;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  *endOfPipe = false;
  *err = 0;
  ssize_t n;
  do {
    n = ::recvmsg(fd, &header, flags | MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *err = errno;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? kWouldBlock : -2;
  }
  const bool credentials = HasCredentials(header);
  DropPassedDescriptors(header);
  // A message, even an empty one, comes with credentials; the end of the
  // pipe does not.
  *endOfPipe = n == 0 && !credentials;
  return n;
}

int SendBufferSize(int fd) {
  int size = 0;
  socklen_t length = sizeof size;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0) {
    return 0;
  }
  return size;
}

// Gives the socket a send buffer in which a message of count bytes fits with
// room to spare: once half the buffer is free (the peer has read), the message
// can be sent, so a writer that waits for writability never spins. Returns
// false when the message is larger than the largest buffer allowed.
// *known caches the buffer size (0: not looked up yet).
bool EnsureSendBuffer(int fd, uint32_t count, int* known) {
  const int64_t wanted = static_cast<int64_t>(count) + static_cast<int64_t>(count) / 4 + 4096;
  if (*known == 0) {
    *known = SendBufferSize(fd);
  }
  if (*known / 2 >= wanted) {
    return true;
  }
  // The kernel doubles the value asked for (after capping it at wmem_max).
  const int value = static_cast<int>(std::min<int64_t>(wanted, 0x3FFFFFFF));
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &value, sizeof value);
  *known = SendBufferSize(fd);
  return static_cast<int64_t>(count) <= static_cast<int64_t>(*known) - kSendBufferReserve;
}

// Sends one message without blocking: count, kWouldBlock, or -2 with *err.
int64_t SendMessageNow(int fd, const void* buffer, uint32_t count, int* err) {
  iovec io{const_cast<void*>(buffer), count};
  msghdr header{};
  header.msg_iov = count > 0 ? &io : nullptr;
  header.msg_iovlen = count > 0 ? 1 : 0;
  ssize_t n;
  do {
    n = ::sendmsg(fd, &header, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    return n;
  }
  *err = errno;
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? kWouldBlock : -2;
}

int32_t SendError(int err) {
  // The client has left: "the pipe is being closed".
  if (err == EPIPE || err == ECONNRESET || err == ENOTCONN) {
    return ERROR_NO_DATA;
  }
  if (err == EMSGSIZE) {
    return ERROR_NOT_ENOUGH_QUOTA;
  }
  return FromErrno(err);
}

int32_t ReceiveError(int err) {
  // ECONNRESET: the client closed with replies unread; it has left all the same.
  if (err == ECONNRESET || err == EPIPE || err == ENOTCONN) {
    return ERROR_BROKEN_PIPE;
  }
  return FromErrno(err);
}

// The error of a failed wait on a descriptor.
int32_t WaitError() {
  return errno != 0 ? FromErrno(errno) : ERROR_INVALID_HANDLE;
}

void SleepMs(int ms) {
  timespec ts{0, static_cast<long>(ms) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------------------
// Server instances.

enum class TInstanceState : uint8_t { kListening, kConnected, kDisconnected };

struct TInstance {
  std::mutex Lock;  // guards everything below
  std::string Name;
  int ListenFd = -1;  // owned by the name's entry, which outlives the instance
  TInstanceState State = TInstanceState::kListening;
  TScopedFd Socket;    // the connected client
  TScopedFd Flushed;   // epoll set: edge-triggered writability of Socket
  int SendBuffer = 0;  // SO_SNDBUF of Socket, 0 until looked up
  // The unread part of a message read in part.
  std::vector<std::byte> Rest;
  size_t RestOffset = 0;
  // Advanced by cancel and disconnect: older pending operations are void.
  uint64_t Generation = 1;

  size_t RestLeft() const { return Rest.size() - RestOffset; }
  void DropRest() {
    // Keep a modest buffer for the next long message; give big ones back.
    constexpr size_t kKeep = 256 * 1024;
    Rest.clear();
    if (Rest.capacity() > kKeep) {
      Rest.shrink_to_fit();
    }
    RestOffset = 0;
  }
};

using PInstance = std::shared_ptr<TInstance>;

struct TNameEntry {
  TScopedFd Listener;
  int Instances = 0;
};

class TPipeTable {
 public:
  int32_t Create(std::string_view path, TPipeHandle* pipe) {
    sockaddr_un address{};
    socklen_t length = 0;
    const int32_t bad = AddressFor(path, &address, &length);
    if (bad != ERROR_SUCCESS) {
      return bad;
    }
    std::string name(path.substr(kPipePathPrefix.size()));
    std::lock_guard<std::mutex> guard(FLock);
    if (FHandles.size() >= kLastHandle - kFirstHandle + 1) {
      return ERROR_NO_SYSTEM_RESOURCES;
    }
    auto found = FNames.find(name);
    if (found == FNames.end()) {
      TNameEntry entry;
      const int32_t error = Publish(address, length, &entry.Listener);
      if (error != ERROR_SUCCESS) {
        return error;
      }
      found = FNames.emplace(name, std::move(entry)).first;
    }
    auto instance = std::make_shared<TInstance>();
    instance->Name = name;
    instance->ListenFd = found->second.Listener.Get();
    ++found->second.Instances;
    const TPipeHandle handle = NextHandle();
    FHandles.emplace(handle, std::move(instance));
    *pipe = handle;
    return ERROR_SUCCESS;
  }

  PInstance Find(TPipeHandle pipe) {
    std::lock_guard<std::mutex> guard(FLock);
    auto it = FHandles.find(pipe);
    return it == FHandles.end() ? nullptr : it->second;
  }

  bool Close(TPipeHandle pipe) {
    PInstance instance;
    {
      std::lock_guard<std::mutex> guard(FLock);
      auto it = FHandles.find(pipe);
      if (it == FHandles.end()) {
        return false;
      }
      instance = std::move(it->second);
      FHandles.erase(it);
      auto name = FNames.find(instance->Name);
      if (name != FNames.end() && --name->second.Instances == 0) {
        // The last instance withdraws the name; clients still waiting in the
        // queue see their pipe broken.
        FNames.erase(name);
      }
    }
    std::lock_guard<std::mutex> guard(instance->Lock);
    instance->ListenFd = -1;
    instance->Socket.Close();
    instance->Flushed.Close();
    ++instance->Generation;
    return true;
  }

  size_t Count() {
    std::lock_guard<std::mutex> guard(FLock);
    return FHandles.size();
  }

 private:
  static int32_t Publish(const sockaddr_un& address, socklen_t length, TScopedFd* listener) {
    TScopedFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
      return FromErrno(errno);
    }
    if (!EnableCredentials(fd.Get()) ||
        ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd.Get(), SOMAXCONN) != 0) {
      return FromErrno(errno);
    }
    *listener = std::move(fd);
    return ERROR_SUCCESS;
  }

  TPipeHandle NextHandle() {
    for (;;) {
      const TPipeHandle candidate = FNext;
      FNext = FNext >= kLastHandle ? kFirstHandle : FNext + 1;
      if (FHandles.find(candidate) == FHandles.end()) {
        return candidate;
      }
    }
  }

  std::mutex FLock;
  std::unordered_map<TPipeHandle, PInstance> FHandles;
  std::unordered_map<std::string, TNameEntry> FNames;
  TPipeHandle FNext = kFirstHandle;
};

TPipeTable& Table() {
  // Never destroyed: pipe threads may still close handles while the process
  // exits.
  static TPipeTable* table = new TPipeTable;
  return *table;
}

// The instance lock is held by the callers of the Try* steps; each step does
// not block and returns kWouldBlock when the operation must wait.

int32_t TryAccept(TInstance& instance) {
  if (instance.State == TInstanceState::kConnected) {
    return ERROR_PIPE_CONNECTED;
  }
  if (instance.ListenFd < 0) {
    return ERROR_INVALID_HANDLE;
  }
  TScopedFd client(::accept4(instance.ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!client) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
      return kWouldBlock;
    }
    if (err == ECONNABORTED) {
      return ERROR_NO_DATA;
    }
    return FromErrno(err);
  }
  // A client that connected and left before it was taken is dropped.
  pollfd p{client.Get(), POLLRDHUP, 0};
  if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) {
    return ERROR_NO_DATA;
  }
  if (!EnableCredentials(client.Get())) {
    return FromErrno(errno);
  }
  // Flush waits on this set: the kernel wakes a socket's writers each time the
  // peer takes a message off the queue (while the socket is writable, which it
  // always is once the queue is empty), and an edge-triggered entry turns each
  // of those wake-ups into an event. Writability itself cannot tell that the
  // peer has read.
  TScopedFd flushed(::epoll_create1(EPOLL_CLOEXEC));
  if (!flushed) {
    return FromErrno(errno);
  }
  epoll_event event{};
  event.events = EPOLLOUT | EPOLLET;
  if (::epoll_ctl(flushed.Get(), EPOLL_CTL_ADD, client.Get(), &event) != 0) {
    return FromErrno(errno);
  }
  instance.Socket = std::move(client);
  instance.Flushed = std::move(flushed);
  instance.SendBuffer = 0;
  instance.State = TInstanceState::kConnected;
  instance.DropRest();
  return ERROR_SUCCESS;
}

int32_t NotConnected(const TInstance& instance) {
  return instance.State == TInstanceState::kListening ? ERROR_PIPE_LISTENING
                                                      : ERROR_PIPE_NOT_CONNECTED;
}

// Reads the next message, or part of one, into buffer.
int32_t TryRead(TInstance& instance, void* buffer, uint32_t size, uint32_t* bytesRead) {
  *bytesRead = 0;
  if (instance.State != TInstanceState::kConnected) {
    return NotConnected(instance);
  }
  if (instance.RestLeft() > 0) {
    const size_t left = instance.RestLeft();
    const size_t n = std::min<size_t>(left, size);
    if (n > 0) {
      CopyBytes(buffer, instance.Rest.data() + instance.RestOffset, n);
    }
    instance.RestOffset += n;
    *bytesRead = static_cast<uint32_t>(n);
    if (left > size) {
      return ERROR_MORE_DATA;
    }
    instance.DropRest();
    return ERROR_SUCCESS;
  }
  const int fd = instance.Socket.Get();
  bool endOfPipe = false;
  int err = 0;
  // A read into a smaller buffer would discard the rest of the message: learn
  // its length first.
  const int64_t length = ReceiveMessage(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC, &endOfPipe, &err);
  if (length == kWouldBlock) {
    return kWouldBlock;
  }
  if (length < 0) {
    return ReceiveError(err);
  }
  if (endOfPipe) {
    return ERROR_BROKEN_PIPE;
  }
  if (static_cast<uint64_t>(length) <= size) {
    const int64_t n = ReceiveMessage(fd, buffer, size, 0, &endOfPipe, &err);
    if (n < 0) {
      return n == kWouldBlock ? kWouldBlock : ReceiveError(err);
    }
    *bytesRead = static_cast<uint32_t>(n);
    return ERROR_SUCCESS;
  }
  // Longer than the buffer: take the whole message, hand out its first part
  // and keep the rest for the next reads.
  try {
    instance.Rest.resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  const int64_t n =
      ReceiveMessage(fd, instance.Rest.data(), instance.Rest.size(), 0, &endOfPipe, &err);
  if (n < 0) {
    instance.DropRest();
    return n == kWouldBlock ? kWouldBlock : ReceiveError(err);
  }
  instance.Rest.resize(static_cast<size_t>(n));
  instance.RestOffset = 0;
  return TryRead(instance, buffer, size, bytesRead);
}

int32_t TryWrite(TInstance& instance, const void* buffer, uint32_t count, uint32_t* written) {
  *written = 0;
  if (instance.State != TInstanceState::kConnected) {
    return NotConnected(instance);
  }
  const int fd = instance.Socket.Get();
  if (!EnsureSendBuffer(fd, count, &instance.SendBuffer)) {
    return ERROR_NOT_ENOUGH_QUOTA;
  }
  int err = 0;
  const int64_t n = SendMessageNow(fd, buffer, count, &err);
  if (n == kWouldBlock) {
    return kWouldBlock;
  }
  if (n < 0) {
    return SendError(err);
  }
  *written = static_cast<uint32_t>(n);
  return ERROR_SUCCESS;
}

int32_t TryOperation(TInstance& instance, const TPipeOverlapped& o, uint32_t* transferred) {
  *transferred = 0;
  switch (TAccess::Operation(o)) {
    case TOperation::kConnect:
      return TryAccept(instance);
    case TOperation::kRead:
      return TryRead(instance, TAccess::Buffer(o), TAccess::Size(o), transferred);
    case TOperation::kWrite:
      return TryWrite(instance, TAccess::Buffer(o), TAccess::Size(o), transferred);
    case TOperation::kNone:
      break;
  }
  return ERROR_INVALID_PARAMETER;
}

// What a pending operation waits on.
TWaitHandle WaitHandleFor(const TInstance& instance, TOperation operation) {
  switch (operation) {
    case TOperation::kConnect:
      return {instance.ListenFd, POLLIN};
    case TOperation::kRead:
      return {instance.Socket.Get(), POLLIN};
    case TOperation::kWrite:
      return {instance.Socket.Get(), POLLOUT};
    case TOperation::kNone:
      break;
  }
  return {-1, 0};
}

int32_t Begin(TPipeHandle pipe,
              TOperation operation,
              void* buffer,
              uint32_t size,
              uint32_t* transferred,
              TPipeOverlapped& overlapped) {
  overlapped.Reset();
  uint32_t ignored = 0;
  if (transferred == nullptr) {
    transferred = &ignored;
  }
  *transferred = 0;
  PInstance instance = Table().Find(pipe);
  if (!instance) {
    return ERROR_INVALID_HANDLE;
  }
  std::lock_guard<std::mutex> guard(instance->Lock);
  TAccess::Start(overlapped, operation, pipe, buffer, size, instance->Generation, {});
  const int32_t result = TryOperation(*instance, overlapped, transferred);
  if (result != kWouldBlock) {
    overlapped.Reset();
    // A client already waiting when the connect was asked for.
    if (operation == TOperation::kConnect && result == ERROR_SUCCESS) {
      return ERROR_PIPE_CONNECTED;
    }
    return result;
  }
  TAccess::Start(overlapped, operation, pipe, buffer, size, instance->Generation,
                 WaitHandleFor(*instance, operation));
  return ERROR_IO_PENDING;
}

}  // namespace

std::string PipePath(std::string_view name) {
  std::string path(kPipePathPrefix);
  path.append(name);
  return path;
}

int32_t CreatePipeInstance(std::string_view path, TPipeHandle* pipe) {
  *pipe = kInvalidPipeHandle;
  return Table().Create(path, pipe);
}

int32_t ConnectPipe(TPipeHandle pipe, TPipeOverlapped& overlapped) {
  return Begin(pipe, TOperation::kConnect, nullptr, 0, nullptr, overlapped);
}

int32_t ReadPipe(TPipeHandle pipe,
                 void* buffer,
                 uint32_t size,
                 uint32_t* bytesRead,
                 TPipeOverlapped& overlapped) {
  return Begin(pipe, TOperation::kRead, buffer, size, bytesRead, overlapped);
}

int32_t WritePipe(TPipeHandle pipe,
                  const void* buffer,
                  uint32_t count,
                  uint32_t* written,
                  TPipeOverlapped& overlapped) {
  return Begin(pipe, TOperation::kWrite, const_cast<void*>(buffer), count, written, overlapped);
}

int32_t GetPipeOverlappedResult(TPipeHandle pipe,
                                TPipeOverlapped& overlapped,
                                uint32_t* transferred,
                                bool wait) {
  uint32_t ignored = 0;
  if (transferred == nullptr) {
    transferred = &ignored;
  }
  *transferred = 0;
  if (!overlapped.Pending() || TAccess::Pipe(overlapped) != pipe) {
    return ERROR_INVALID_PARAMETER;
  }
  PInstance instance = Table().Find(pipe);
  if (!instance) {
    overlapped.Reset();
    return ERROR_INVALID_HANDLE;
  }
  bool wokeInVain = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(instance->Lock);
      if (TAccess::Generation(overlapped) != instance->Generation) {
        overlapped.Reset();
        return ERROR_OPERATION_ABORTED;
      }
      const int32_t result = TryOperation(*instance, overlapped, transferred);
      if (result != kWouldBlock) {
        overlapped.Reset();
        return result;
      }
    }
    if (!wait) {
      return ERROR_IO_INCOMPLETE;
    }
    // A message larger than a quarter of the send buffer may still not fit
    // although the socket reports writability: pause instead of spinning.
    if (wokeInVain) {
      SleepMs(1);
    }
    errno = 0;
    if (WaitForSingleObject(overlapped.WaitHandle(), kInfinite) != kWaitObject0) {
      overlapped.Reset();
      return WaitError();
    }
    wokeInVain = TAccess::Operation(overlapped) == TOperation::kWrite;
  }
}

int32_t PeekPipe(TPipeHandle pipe, uint32_t* bytesLeftThisMessage) {
  *bytesLeftThisMessage = 0;
  PInstance instance = Table().Find(pipe);
  if (!instance) {
    return ERROR_INVALID_HANDLE;
  }
  std::lock_guard<std::mutex> guard(instance->Lock);
  if (instance->State != TInstanceState::kConnected) {
    return NotConnected(*instance);
  }
  if (instance->RestLeft() > 0) {
    *bytesLeftThisMessage = static_cast<uint32_t>(instance->RestLeft());
    return ERROR_SUCCESS;
  }
  bool endOfPipe = false;
  int err = 0;
  const int64_t length =
      ReceiveMessage(instance->Socket.Get(), nullptr, 0, MSG_PEEK | MSG_TRUNC, &endOfPipe, &err);
  if (length == kWouldBlock) {
    return ERROR_SUCCESS;
  }
  if (length < 0) {
    return ReceiveError(err);
  }
  if (endOfPipe) {
    return ERROR_BROKEN_PIPE;
  }
  *bytesLeftThisMessage = static_cast<uint32_t>(length);
  return ERROR_SUCCESS;
}

int32_t CancelPipeIo(TPipeHandle pipe) {
  PInstance instance = Table().Find(pipe);
  if (!instance) {
    return ERROR_INVALID_HANDLE;
  }
  std::lock_guard<std::mutex> guard(instance->Lock);
  ++instance->Generation;
  return ERROR_SUCCESS;
}

int32_t FlushPipe(TPipeHandle pipe, const TWaitHandle* abort) {
  PInstance instance = Table().Find(pipe);
  if (!instance) {
    return ERROR_INVALID_HANDLE;
  }
  int socket = -1;
  int flushed = -1;
  {
    std::lock_guard<std::mutex> guard(instance->Lock);
    if (instance->State != TInstanceState::kConnected) {
      return NotConnected(*instance);
    }
    socket = instance->Socket.Get();
    flushed = instance->Flushed.Get();
  }
  // The descriptors stay open: the handle is not closed while this thread
  // uses it.
  uint32_t settleMs = 0;
  for (;;) {
    int unread = 0;
    if (::ioctl(socket, SIOCOUTQ, &unread) != 0) {
      return FromErrno(errno);
    }
    // Also 0 once the client has closed its end.
    if (unread == 0) {
      return ERROR_SUCCESS;
    }
    // Trap: the kernel wakes the writer while it frees the message just read,
    // one step before the count drops to 0; in that moment the count shows a
    // few bytes that belong to no message (every queued message counts
    // hundreds). No further wake-up follows, so look again shortly instead of
    // waiting for one. A wait for a real message is bounded too, as a safety
    // net against a lost wake-up: it only costs a look per second.
    uint32_t timeoutMs = kFlushSafetyMs;
    if (unread < kTransientUnread) {
      settleMs = std::clamp<uint32_t>(settleMs * 2, 1, 64);
      timeoutMs = settleMs;
    } else {
      settleMs = 0;
    }
    // A wake-up left over from an earlier read ends this wait at once; the
    // loop then simply looks again. One that comes after the look above stays
    // pending until taken below, so none is missed.
    const TWaitHandle handles[2] = {{flushed, POLLIN}, abort != nullptr ? *abort : TWaitHandle{}};
    errno = 0;
    const uint32_t result = WaitForMultipleObjects(
        std::span<const TWaitHandle>(handles, abort != nullptr ? 2 : 1), timeoutMs);
    if (result == kWaitObject0 + 1) {
      return ERROR_OPERATION_ABORTED;
    }
    if (result != kWaitObject0 && result != kWaitTimeout) {
      return WaitError();
    }
    // One entry in the set: one call takes whatever is pending.
    epoll_event event{};
    (void)::epoll_wait(flushed, &event, 1, 0);
  }
}

int32_t DisconnectPipe(TPipeHandle pipe) {
  PInstance instance = Table().Find(pipe);
  if (!instance) {
    return ERROR_INVALID_HANDLE;
  }
  std::lock_guard<std::mutex> guard(instance->Lock);
  if (instance->State == TInstanceState::kConnected) {
    instance->Socket.Close();
    instance->Flushed.Close();
    instance->State = TInstanceState::kDisconnected;
  }
  instance->DropRest();
  ++instance->Generation;
  return ERROR_SUCCESS;
}

bool ClosePipe(TPipeHandle pipe) {
  return Table().Close(pipe);
}

size_t OpenPipeHandleCount() {
  return Table().Count();
}

// ---------------------------------------------------------------------------
// Client end.

int32_t TClientPipe::Open(std::string_view path, uint32_t timeoutMs) {
  FFd.Close();
  sockaddr_un address{};
  socklen_t length = 0;
  const int32_t bad = AddressFor(path, &address, &length);
  if (bad != ERROR_SUCCESS) {
    return bad;
  }
  TScopedFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) {
    return FromErrno(errno);
  }
  if (!EnableCredentials(fd.Get())) {
    return FromErrno(errno);
  }
  // A blocking connect waits while the server's queue is full; the send
  // time-out bounds that wait.
  if (timeoutMs != kInfinite) {
    timeval tv{};
    const uint32_t ms = std::max<uint32_t>(timeoutMs, 1);
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    (void)::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  int rc;
  do {
    rc = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS || err == ETIMEDOUT) {
      return ERROR_PIPE_BUSY;
    }
    return FromErrno(err);
  }
  const timeval none{};
  (void)::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  const int flags = ::fcntl(fd.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return FromErrno(errno);
  }
  FFd = std::move(fd);
  return ERROR_SUCCESS;
}

int32_t TClientPipe::Write(std::span<const std::byte> message, uint32_t timeoutMs) {
  if (!FFd) {
    return ERROR_INVALID_HANDLE;
  }
  if (message.size() > 0x7FFFFFFFu) {
    return ERROR_NOT_ENOUGH_QUOTA;
  }
  const uint32_t count = static_cast<uint32_t>(message.size());
  if (!EnsureSendBuffer(FFd.Get(), count, &FSendBuffer)) {
    return ERROR_NOT_ENOUGH_QUOTA;
  }
  const uint64_t start = MonotonicMs();
  bool wokeInVain = false;
  for (;;) {
    int err = 0;
    const int64_t n = SendMessageNow(FFd.Get(), message.data(), count, &err);
    if (n >= 0) {
      return ERROR_SUCCESS;
    }
    if (n != kWouldBlock) {
      return SendError(err);
    }
    if (wokeInVain) {
      SleepMs(1);
    }
    errno = 0;
    const uint32_t result =
        WaitForSingleObject({FFd.Get(), POLLOUT}, RemainingMs(timeoutMs, start));
    if (result == kWaitTimeout) {
      return ERROR_SEM_TIMEOUT;
    }
    if (result != kWaitObject0) {
      return WaitError();
    }
    wokeInVain = true;
  }
}

int32_t TClientPipe::Read(std::vector<std::byte>* message, uint32_t timeoutMs) {
  if (!FFd) {
    message->clear();
    return ERROR_INVALID_HANDLE;
  }
  const uint64_t start = MonotonicMs();
  for (;;) {
    bool endOfPipe = false;
    int err = 0;
    const int64_t length =
        ReceiveMessage(FFd.Get(), nullptr, 0, MSG_PEEK | MSG_TRUNC, &endOfPipe, &err);
    if (length >= 0) {
      if (endOfPipe) {
        message->clear();
        return ERROR_BROKEN_PIPE;
      }
      try {
        // A buffer of the right size already is reused as it is.
        message->resize(static_cast<size_t>(length));
      } catch (const std::bad_alloc&) {
        message->clear();
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      const int64_t n =
          ReceiveMessage(FFd.Get(), message->data(), message->size(), 0, &endOfPipe, &err);
      if (n >= 0) {
        message->resize(static_cast<size_t>(n));
        return ERROR_SUCCESS;
      }
      message->clear();
      if (n != kWouldBlock) {
        return ReceiveError(err);
      }
    } else if (length != kWouldBlock) {
      message->clear();
      return ReceiveError(err);
    }
    errno = 0;
    const uint32_t result = WaitForSingleObject(ReadHandle(), RemainingMs(timeoutMs, start));
    if (result == kWaitTimeout) {
      message->clear();
      return ERROR_SEM_TIMEOUT;
    }
    if (result != kWaitObject0) {
      message->clear();
      return WaitError();
    }
  }
}

uint32_t TClientPipe::UnreadByServer() const {
  int unread = 0;
  if (!FFd || ::ioctl(FFd.Get(), SIOCOUTQ, &unread) != 0) {
    return 0;
  }
  return static_cast<uint32_t>(unread);
}

}  // namespace platform
