#pragma once
// Message-mode local pipes, server and client ends.
//
// A pipe is published under a name; its full path is "\\.\pipe\" followed by
// the name. On Linux the pipe lives at the abstract AF_UNIX address "\0" + name
// as a SOCK_SEQPACKET socket, so clients in any language connect there (e.g.
// "\0QNPipeServer"); abstract addresses carry no permissions, so every local
// user may connect. Names longer than 107 bytes do not fit an address and are
// refused (ERROR_FILENAME_EXCED_RANGE).
//
// Server side. Pipe instances are created one at a time under a path; while at
// least one instance of a name is open in this process the name is published
// and clients that connect queue up until an instance takes them (connect), so
// no client is refused between two instances. When the last instance of a name
// closes the name is withdrawn. Operations follow the overlapped model:
// - ConnectPipe, ReadPipe and WritePipe either complete at once (0, or for a
//   read ERROR_MORE_DATA), fail, or return ERROR_IO_PENDING. A pending
//   operation lives in the caller's TPipeOverlapped; its WaitHandle() becomes
//   signalled when the operation can complete, and GetPipeOverlappedResult
//   completes it (or, with wait = true, blocks until it can).
// - A read into a buffer smaller than the message returns the first part with
//   ERROR_MORE_DATA; the rest stays readable by later reads, and PeekPipe tells
//   its size.
// - An empty message is a message: a read returns it as 0 bytes with success.
//   The client closing its end is ERROR_BROKEN_PIPE, also when it left with
//   replies unread.
// - A write sends one message. Writing to a client that has left gives
//   ERROR_NO_DATA ("the pipe is being closed").
// - FlushPipe returns when the client has read everything written (or left);
//   an abort handle bounds the wait.
// - CancelPipeIo makes every operation pending on the handle complete with
//   ERROR_OPERATION_ABORTED.
//
// Pipe handles are 32-bit values from a process-wide table: never 0 or
// kInvalidPipeHandle, unique while open, and not handed out again until many
// other handles have been (so a handle just closed is not confused with the
// next client's). Their low 16 bits are unique among open handles.
//
// Thread safety: every function may be called from any thread. One handle is
// used by one thread at a time; closing a handle while another thread is
// inside an operation on it is a bug. A TPipeOverlapped belongs to the thread
// that issued the operation, and a pending read or write keeps a pointer to
// the caller's buffer until it completes or is reset.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Event.h"
#include "platform/Handle.h"

namespace platform {

using TPipeHandle = uint32_t;
// INVALID_HANDLE_VALUE: all 32 bits set.
constexpr TPipeHandle kInvalidPipeHandle = 0xFFFFFFFFu;

inline bool IsValidPipeHandle(TPipeHandle pipe) {
  return pipe != 0 && pipe != kInvalidPipeHandle;
}

// Error codes, numbered as the desktop platform numbers them.
constexpr int32_t ERROR_SUCCESS = 0;
constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
constexpr int32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr int32_t ERROR_ACCESS_DENIED = 5;
constexpr int32_t ERROR_INVALID_HANDLE = 6;
constexpr int32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr int32_t ERROR_INVALID_PARAMETER = 87;
constexpr int32_t ERROR_BROKEN_PIPE = 109;
constexpr int32_t ERROR_SEM_TIMEOUT = 121;
constexpr int32_t ERROR_INVALID_NAME = 123;
constexpr int32_t ERROR_FILENAME_EXCED_RANGE = 206;
constexpr int32_t ERROR_PIPE_BUSY = 231;
constexpr int32_t ERROR_NO_DATA = 232;
constexpr int32_t ERROR_PIPE_NOT_CONNECTED = 233;
constexpr int32_t ERROR_MORE_DATA = 234;
constexpr int32_t ERROR_PIPE_CONNECTED = 535;
constexpr int32_t ERROR_PIPE_LISTENING = 536;
constexpr int32_t ERROR_OPERATION_ABORTED = 995;
constexpr int32_t ERROR_IO_INCOMPLETE = 996;
constexpr int32_t ERROR_IO_PENDING = 997;
constexpr int32_t ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr int32_t ERROR_NOT_ENOUGH_QUOTA = 1816;
// A platform error without a desktop equivalent: this bit plus errno.
constexpr int32_t kErrorFromErrno = 0x20000000;

// "\\.\pipe\"
inline constexpr std::string_view kPipePathPrefix = "\\\\.\\pipe\\";

// "\\.\pipe\" + name.
std::string PipePath(std::string_view name);

// One outstanding connect, read or write. While an operation is pending its
// WaitHandle() is signalled once the operation can complete; otherwise the
// handle never signals. Reset() forgets a pending operation (the handle's
// state is untouched).
class TPipeOverlapped {
 public:
  TPipeOverlapped() = default;
  TPipeOverlapped(const TPipeOverlapped&) = delete;
  TPipeOverlapped& operator=(const TPipeOverlapped&) = delete;

  bool Pending() const { return FOperation != TOperation::kNone; }
  TWaitHandle WaitHandle() const { return FWait; }
  void Reset() { *this = TPipeOverlapped{}; }

 private:
  friend struct TPipeOverlappedAccess;
  enum class TOperation : uint8_t { kNone, kConnect, kRead, kWrite };

  TPipeOverlapped& operator=(TPipeOverlapped&&) = default;

  TOperation FOperation = TOperation::kNone;
  TPipeHandle FPipe = 0;
  void* FBuffer = nullptr;
  uint32_t FSize = 0;
  uint64_t FGeneration = 0;
  TWaitHandle FWait{-1, 0};
};

// Creates an instance of the pipe at path ("\\.\pipe\" + name). Returns 0 and
// the handle, or ERROR_INVALID_NAME (no prefix, empty name, a backslash in the
// name), ERROR_FILENAME_EXCED_RANGE, ERROR_ACCESS_DENIED (another process
// publishes the name) or another platform error.
int32_t CreatePipeInstance(std::string_view path, TPipeHandle* pipe);

// Waits for a client on an instance. 0 is never returned: a client already
// waiting gives ERROR_PIPE_CONNECTED at once; a client that connected and
// already left gives ERROR_NO_DATA (it is dropped, the instance may connect
// again); otherwise ERROR_IO_PENDING, and GetPipeOverlappedResult later gives
// 0, ERROR_NO_DATA, or ERROR_IO_INCOMPLETE when another instance took the
// client that signalled (wait again).
int32_t ConnectPipe(TPipeHandle pipe, TPipeOverlapped& overlapped);

// Reads one message (or the next part of one) into buffer. Returns 0 with
// *bytesRead, ERROR_MORE_DATA with *bytesRead = size (the rest stays
// readable), ERROR_IO_PENDING, ERROR_BROKEN_PIPE, ERROR_PIPE_LISTENING (no
// client yet), ERROR_PIPE_NOT_CONNECTED (disconnected), ERROR_INVALID_HANDLE.
int32_t ReadPipe(TPipeHandle pipe,
                 void* buffer,
                 uint32_t size,
                 uint32_t* bytesRead,
                 TPipeOverlapped& overlapped);

// Writes count bytes as one message (count may be 0: an empty message).
// Returns 0 with *written = count, ERROR_IO_PENDING (the buffer must stay
// valid), ERROR_NO_DATA (the client has left), ERROR_NOT_ENOUGH_QUOTA (larger
// than the largest message the socket can take), or another error.
int32_t WritePipe(TPipeHandle pipe,
                  const void* buffer,
                  uint32_t count,
                  uint32_t* written,
                  TPipeOverlapped& overlapped);

// Completes the operation pending in overlapped, with the results described
// above. wait = false returns ERROR_IO_INCOMPLETE while it cannot complete;
// wait = true blocks until it can. ERROR_OPERATION_ABORTED after CancelPipeIo;
// ERROR_INVALID_PARAMETER when nothing is pending. The record is no longer
// pending afterwards unless the result is ERROR_IO_INCOMPLETE.
int32_t GetPipeOverlappedResult(TPipeHandle pipe,
                                TPipeOverlapped& overlapped,
                                uint32_t* transferred,
                                bool wait);

// Bytes left in the current message: the unread rest of a message read in
// part, else the size of the next message (0 when none is waiting).
int32_t PeekPipe(TPipeHandle pipe, uint32_t* bytesLeftThisMessage);

// Every operation pending on the handle completes with ERROR_OPERATION_ABORTED.
int32_t CancelPipeIo(TPipeHandle pipe);

// Returns 0 once the client has read every message written to it, or has left.
// When abort is given and becomes signalled first, returns
// ERROR_OPERATION_ABORTED. Waits without using the processor.
int32_t FlushPipe(TPipeHandle pipe, const TWaitHandle* abort = nullptr);

// Ends the client's connection (it reads what was already written, then the
// end of the pipe); the instance may connect again.
int32_t DisconnectPipe(TPipeHandle pipe);

// Closes the handle (disconnecting a client). False when it is not open.
bool ClosePipe(TPipeHandle pipe);

// Diagnostics for tests and the benchmark.
size_t OpenPipeHandleCount();

// Move-only owner of a pipe handle.
class TScopedPipe {
 public:
  TScopedPipe() = default;
  explicit TScopedPipe(TPipeHandle pipe) : FPipe(pipe) {}
  TScopedPipe(TScopedPipe&& other) noexcept : FPipe(other.Release()) {}
  TScopedPipe& operator=(TScopedPipe&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  TScopedPipe(const TScopedPipe&) = delete;
  TScopedPipe& operator=(const TScopedPipe&) = delete;
  ~TScopedPipe() { Close(); }

  TPipeHandle Get() const { return FPipe; }
  bool IsValid() const { return IsValidPipeHandle(FPipe); }
  [[nodiscard]] TPipeHandle Release() { return std::exchange(FPipe, kInvalidPipeHandle); }
  void Reset(TPipeHandle pipe = kInvalidPipeHandle) {
    const TPipeHandle old = std::exchange(FPipe, pipe);
    if (IsValidPipeHandle(old)) {
      ClosePipe(old);
    }
  }
  void Close() { Reset(); }

 private:
  TPipeHandle FPipe = kInvalidPipeHandle;
};

// The client end of a pipe: open by path, write and read whole messages.
// Blocking calls with time-outs; one thread at a time.
class TClientPipe {
 public:
  TClientPipe() = default;
  TClientPipe(TClientPipe&&) = default;
  TClientPipe& operator=(TClientPipe&&) = default;
  ~TClientPipe() = default;

  // Connects to the pipe at path ("\\.\pipe\" + name). 0, ERROR_FILE_NOT_FOUND
  // when no server publishes the name, ERROR_PIPE_BUSY when it does not take
  // the connection within timeoutMs, ERROR_INVALID_NAME, or another error.
  int32_t Open(std::string_view path, uint32_t timeoutMs = 5000);
  bool IsOpen() const { return FFd.IsValid(); }
  void Close() {
    FFd.Close();
    FSendBuffer = 0;
  }

  // Sends one message, waiting up to timeoutMs while the pipe is full.
  // Messages larger than the socket's default limit get a larger send buffer;
  // ERROR_NOT_ENOUGH_QUOTA when even the largest allowed one is too small.
  // ERROR_NO_DATA when the server has closed the pipe; ERROR_SEM_TIMEOUT.
  int32_t Write(std::span<const std::byte> message, uint32_t timeoutMs = kInfinite);

  // Reads the next whole message of any size (an empty message is one).
  // 0, ERROR_BROKEN_PIPE when the server closed the pipe, ERROR_SEM_TIMEOUT.
  int32_t Read(std::vector<std::byte>* message, uint32_t timeoutMs = kInfinite);

  // Signalled while a message (or the end of the pipe) is waiting.
  TWaitHandle ReadHandle() const { return {FFd.Get(), 0x001}; }
  // Bytes written but not yet read by the server (diagnostics).
  uint32_t UnreadByServer() const;

 private:
  TScopedFd FFd;
  int FSendBuffer = 0;  // SO_SNDBUF, 0 until looked up
};

}  // namespace platform
