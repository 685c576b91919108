#include "pipes/PipeThread.h"

#include <algorithm>
#include <cerrno>
#include <span>
#include <thread>

#include "pipes/PipeControlPacket.h"

namespace pipes {

using namespace platform;

namespace {

// What a read asks for at first: the largest message the server writes.
constexpr uint32_t kInitialReceiveBuffer = 65534;
// After the stop, a write or read that finishes within this time still counts.
constexpr uint32_t kStopGraceMs = 100;

// The client has gone away: the normal end of a worker, not an error. A read
// reports it as the broken pipe, a write as "the pipe is being closed".
bool ClientLeft(int32_t error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
}

int32_t WaitFailure() {
  return errno != 0 ? (kErrorFromErrno | errno) : ERROR_INVALID_HANDLE;
}

}  // namespace

void ClosePipeHandle(TPipeHandle handle, bool server, const TWaitHandle* abort) {
  if (!IsValidPipeHandle(handle)) {
    return;
  }
  CancelPipeIo(handle);
  FlushPipe(handle, abort);
  if (server) {
    DisconnectPipe(handle);
  }
  ClosePipe(handle);
}

TPipeThread::TPipeThread(bool server,
                         TWindowHandle notifyWindow,
                         TThreadId notifyThread,
                         std::shared_ptr<TWriteQueue> writeQueue,
                         std::shared_ptr<TThreadCounter> counter,
                         TPipeHandle pipe,
                         std::shared_ptr<TEvent> killEvent,
                         std::shared_ptr<TPipeServerLink> link)
    : FServer(server),
      FNotify(notifyWindow),
      FNotifyThread(notifyThread),
      FPipe(pipe),
      FCounter(std::move(counter)),
      FWriteQueue(std::move(writeQueue)),
      FRcvAlloc(kInitialReceiveBuffer),
      FRcvSize(kInitialReceiveBuffer),
      FKillEvent(std::move(killEvent)),
      FLink(std::move(link)) {
  FKillEvent->Reset();
  SetFreeOnTerminate(true);
  SetPriority(TThreadPriority::tpLower);
  // Last: nothing after it can fail, so a worker that could not be made
  // leaves the count as it was.
  if (FCounter) {
    FCounter->Increment();
  }
}

TPipeThread::~TPipeThread() {
  FreePipeWrite(FPipeWrite);
  FMultiMsg.reset();
  FRcvStream.Clear();
  FWriteQueue.reset();
  FKillEvent.reset();
  FLink.reset();
  // Last: once the count drops, the component may finish its shutdown.
  if (std::shared_ptr<TThreadCounter> counter = std::move(FCounter)) {
    counter->Decrement();
  }
}

void TPipeThread::Execute() {
  // Whatever ends the worker, the instance is flushed (until the client has
  // read everything, or the stop), disconnected and closed.
  struct TClose {
    TPipeThread& Worker;
    ~TClose() {
      const TWaitHandle stop = Worker.FKillEvent->WaitHandle();
      ClosePipeHandle(Worker.FPipe, Worker.FServer, &stop);
    }
  } close{*this};
  if (SyncBaseTID() != FNotifyThread) {
    PostMessage(FNotify, MSG_THREAD_MISMATCH, 0, 0);
    return;
  }
  try {
    if (FServer) {
      NotifyComponent(MSG_CLIENT_CONNECTED, FPipe, 0);
    }
    Serve();
  } catch (...) {
    // Out of memory and the like: the worker ends; the client is
    // unregistered as for any other end, without an error notification.
  }
}

void TPipeThread::Serve() {
  while (!Terminated()) {
    bool ok = BeginRead();
    if (ok) {
      ok = BeginWrite();
    }
    std::this_thread::yield();
    if (ok) {
      // Order matters: the lowest signalled index wins, so the stop is seen
      // first. A pending write excludes the queue's event: queued data cannot
      // start another write until this one completes.
      TWaitHandle handles[4];
      size_t count = 0;
      handles[count++] = FKillEvent->WaitHandle();
      const size_t readIndex = FOlapRead.Pending() ? count : SIZE_MAX;
      if (FOlapRead.Pending()) {
        handles[count++] = FOlapRead.WaitHandle();
      }
      const size_t writeIndex = FOlapWrite.Pending() ? count : SIZE_MAX;
      if (FOlapWrite.Pending()) {
        handles[count++] = FOlapWrite.WaitHandle();
      }
      const size_t dataIndex = FOlapWrite.Pending() ? SIZE_MAX : count;
      if (!FOlapWrite.Pending()) {
        handles[count++] = FWriteQueue->DataEvent().WaitHandle();
      }
      // With reading paused at its budget, only look, do not wait.
      errno = 0;
      const uint32_t result = WaitForMultipleObjects(std::span<const TWaitHandle>(handles, count),
                                                     FReadPaused ? 0 : kInfinite);
      if (result == kWaitTimeout) {
        continue;
      }
      const size_t index = result == kWaitFailed ? SIZE_MAX : result - kWaitObject0;
      if (result == kWaitFailed) {
        FErrorCode = WaitFailure();
        ok = false;
      } else if (index == 0) {
        if (FOlapWrite.Pending() &&
            WaitForSingleObject(FOlapWrite.WaitHandle(), kStopGraceMs) == kWaitObject0) {
          CompleteWrite();
        }
        if (FOlapRead.Pending() &&
            WaitForSingleObject(FOlapRead.WaitHandle(), kStopGraceMs) == kWaitObject0) {
          CompleteRead();
        }
        Terminate();
      } else if (index == readIndex) {
        ok = CompleteRead();
      } else if (index == writeIndex) {
        ok = CompleteWrite();
      } else if (index == dataIndex) {
        // The next pass's BeginWrite takes the data.
      }
    }
    if (!ok) {
      if (!ClientLeft(FErrorCode)) {
        NotifyComponent(MSG_WORKER_ERROR, FPipe, FErrorCode);
      }
      Terminate();
    }
  }
}

int32_t TPipeThread::ReadIntoStream() {
  uint8_t* target = FRcvStream.ReserveTail(FRcvSize);
  return ReadPipe(FPipe, target, FRcvSize, &FRcvRead, FOlapRead);
}

void TPipeThread::AppendReceived(uint32_t count) {
  FRcvStream.CommitTail(count);
}

bool TPipeThread::PrepareRest() {
  uint32_t left = 0;
  const int32_t result = PeekPipe(FPipe, &left);
  if (result != ERROR_SUCCESS) {
    FErrorCode = result;
    return false;
  }
  FRcvAlloc = std::max(FRcvAlloc, left);
  // The next read asks for exactly the rest of the message.
  FRcvSize = left > 0 ? left : FRcvAlloc;
  return true;
}

bool TPipeThread::BeginRead() {
  if (FOlapRead.Pending()) {
    return true;
  }
  FReadPaused = false;
  FRcvSize = FRcvAlloc;
  int delivered = 0;
  for (;;) {
    if (delivered >= kReadBudget) {
      FReadPaused = true;
      return true;
    }
    const int32_t result = ReadIntoStream();
    if (result == ERROR_SUCCESS) {
      AppendReceived(FRcvRead);
      DispatchReceived();
      ++delivered;
      FRcvSize = FRcvAlloc;
      // A reply is waiting: send it first, read on in the next pass.
      if (!FOlapWrite.Pending() && !FWriteQueue->Empty()) {
        FReadPaused = true;
        return true;
      }
      continue;
    }
    FErrorCode = result;
    if (result == ERROR_MORE_DATA) {
      AppendReceived(FRcvSize);
      if (!PrepareRest()) {
        return false;
      }
      continue;
    }
    return result == ERROR_IO_PENDING;
  }
}

bool TPipeThread::CompleteRead() {
  int32_t result = GetPipeOverlappedResult(FPipe, FOlapRead, &FRcvRead, false);
  for (;;) {
    switch (result) {
      case ERROR_IO_INCOMPLETE:
      case ERROR_IO_PENDING:
        return true;
      case ERROR_SUCCESS:
        AppendReceived(FRcvRead);
        DispatchReceived();
        FRcvSize = FRcvAlloc;
        return true;
      case ERROR_MORE_DATA:
        AppendReceived(FRcvSize);
        if (!PrepareRest()) {
          return false;
        }
        result = ReadIntoStream();
        break;
      default:
        FErrorCode = result;
        return false;
    }
  }
}

bool TPipeThread::BeginWrite() {
  if (FOlapWrite.Pending()) {
    return true;
  }
  FPipeWrite = FWriteQueue->Dequeue();
  if (!FPipeWrite) {
    return true;
  }
  const int32_t result = WritePipe(FPipe, FPipeWrite->Buffer.get(),
                                   static_cast<uint32_t>(FPipeWrite->Count), &FWrite, FOlapWrite);
  FErrorCode = result;
  if (result == ERROR_SUCCESS) {
    FinishWrite();
    return true;
  }
  // Otherwise the record is freed with the worker (or when the write completes).
  return result == ERROR_IO_PENDING;
}

bool TPipeThread::CompleteWrite() {
  const int32_t result = GetPipeOverlappedResult(FPipe, FOlapWrite, &FWrite, false);
  if (result == ERROR_IO_INCOMPLETE) {
    return true;
  }
  if (result == ERROR_SUCCESS) {
    FinishWrite();
    return true;
  }
  FErrorCode = result;
  FreePipeWrite(FPipeWrite);
  return false;
}

void TPipeThread::FinishWrite() {
  struct TFree {
    PPipeWrite& Record;
    ~TFree() { FreePipeWrite(Record); }
  } free{FPipeWrite};
  // Returns once the client has read the message, or has left, or the worker
  // is being stopped: a client that never reads cannot hold up the stop.
  const TWaitHandle stop = FKillEvent->WaitHandle();
  FlushPipe(FPipe, &stop);
  if (!FLink || FLink->NotifySent.load(std::memory_order_relaxed)) {
    NotifyComponent(MSG_DATA_SENT, FPipe, static_cast<intptr_t>(FWrite));
  }
}

void TPipeThread::DispatchReceived() {
  struct TRecycle {
    TFastMemStream& Stream;
    ~TRecycle() {
      // The memory is kept for the next message (fresh memory is slow to
      // touch); only an unusually large buffer goes back.
      if (Stream.Capacity() > kKeptStreamCapacity) {
        Stream.Clear();
      } else {
        Stream.Rewind();
      }
    }
  } recycle{FRcvStream};
  FRcvStream.SetPosition(0);
  const auto size = static_cast<size_t>(FRcvStream.Size());
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(FRcvStream.Memory()),
                                         size);
  uint32_t command = 0;
  if (IsControlPacket(bytes, &command)) {
    if (command == kStartCommand) {
      // A new start drops an assembly still open.
      FMultiMsg.reset();
      FMultiMsg = std::make_unique<TPipeMultiMsg>();
    } else if (command == kEndCommand) {
      if (std::unique_ptr<TPipeMultiMsg> assembly = std::move(FMultiMsg)) {
        TStream& stream = assembly->Stream();
        stream.SetPosition(0);
        NotifyComponent(MSG_DATA_RECEIVED, FPipe, reinterpret_cast<intptr_t>(&stream));
      }
    } else {
      FMultiMsg.reset();
    }
    return;
  }
  if (FMultiMsg) {
    FMultiMsg->Append(FRcvStream.Memory(), static_cast<int32_t>(size));
    return;
  }
  TStream& stream = FRcvStream;
  NotifyComponent(MSG_DATA_RECEIVED, FPipe, reinterpret_cast<intptr_t>(&stream));
}

intptr_t TPipeThread::NotifyComponent(uint32_t message, uintptr_t first, intptr_t second) {
  intptr_t result = 0;
  // A window that is gone drops the notification.
  if (IsWindow(FNotify)) {
    SendMessage(FNotify, message, first, second, &result);
  }
  return result;
}

}  // namespace pipes
