#pragma once
// The worker thread of one connected client.
//
// It owns the server end of the client's pipe instance from the hand-over
// until it closes it. It reads complete messages and delivers each to the
// component (MSG_DATA_RECEIVED, a blocking send: the next message is read only
// after the component's thread has handled the previous one), assembles
// multi-part messages, writes the records queued for the client one at a time
// (each flushed: the next one starts once the client has read the previous
// one), and reports connection, sent data and errors. It ends when its kill
// event is set, the client closes its end, or an error occurs; then it
// flushes, disconnects and closes the instance, its OnTerminate handler runs
// on the component's thread, and it frees itself (FreeOnTerminate).
//
// Created suspended on the component's thread (the notification thread);
// nothing else may touch it after Resume. It shares with the component only
// the write queue, the kill event, the thread counter and the link, each held
// here by shared ownership so that they outlive the worker whatever happens to
// the component.

#include <cstdint>
#include <memory>

#include "pipes/FastMemStream.h"
#include "pipes/PipeMultiMsg.h"
#include "pipes/PipeNotifications.h"
#include "pipes/PipeWrite.h"
#include "pipes/ThreadSupport.h"
#include "pipes/WriteQueue.h"
#include "platform/Event.h"
#include "platform/Pipe.h"

namespace pipes {

// Cancels the calling thread's operations on a valid handle, waits until the
// client has read everything written (bounded by abort, when given), on the
// server side disconnects the instance, and in every case closes it.
void ClosePipeHandle(platform::TPipeHandle handle,
                     bool server,
                     const platform::TWaitHandle* abort = nullptr);

class TPipeThread : public TThreadEx {
 public:
  // Messages read and delivered in one go before the worker looks at its
  // kill event and its queue again (a client that keeps sending cannot
  // starve its own replies or its stop).
  static constexpr int kReadBudget = 16;
  // A receive buffer that grew beyond this for one long message is given
  // back after it; smaller ones are kept for the next message.
  static constexpr int64_t kKeptStreamCapacity = 1 << 20;

  // Increments counter (the matching decrement is in the destructor). Raises
  // (EOSError, bad_alloc) when it cannot be made; the counter is then left as
  // it was.
  TPipeThread(bool server,
              platform::TWindowHandle notifyWindow,
              platform::TThreadId notifyThread,
              std::shared_ptr<TWriteQueue> writeQueue,
              std::shared_ptr<TThreadCounter> counter,
              platform::TPipeHandle pipe,
              std::shared_ptr<platform::TEvent> killEvent,
              std::shared_ptr<TPipeServerLink> link = nullptr);
  ~TPipeThread() override;

  platform::TPipeHandle Pipe() const { return FPipe; }

 protected:
  void Execute() override;

 private:
  void Serve();
  bool BeginRead();
  bool CompleteRead();
  bool BeginWrite();
  bool CompleteWrite();
  // The write of FPipeWrite has completed: flush, report, free.
  void FinishWrite();
  // Issues a read of FRcvSize bytes straight into the end of FRcvStream.
  int32_t ReadIntoStream();
  // Adds the bytes the last read placed there to the message being received.
  void AppendReceived(uint32_t count);
  // Learns the size of the rest of a message read in part; false on failure.
  bool PrepareRest();
  void DispatchReceived();
  intptr_t NotifyComponent(uint32_t message, uintptr_t first, intptr_t second);

  const bool FServer;
  const platform::TWindowHandle FNotify;
  const platform::TThreadId FNotifyThread;
  const platform::TPipeHandle FPipe;
  int32_t FErrorCode = 0;
  std::shared_ptr<TThreadCounter> FCounter;
  uint32_t FWrite = 0;
  std::shared_ptr<TWriteQueue> FWriteQueue;
  PPipeWrite FPipeWrite;
  uint32_t FRcvRead = 0;
  std::unique_ptr<TPipeMultiMsg> FMultiMsg;
  // The message being received; reads go straight to its end, so its memory
  // is the read buffer.
  TFastMemStream FRcvStream;
  uint32_t FRcvAlloc = 0;
  uint32_t FRcvSize = 0;
  std::shared_ptr<platform::TEvent> FKillEvent;
  std::shared_ptr<TPipeServerLink> FLink;
  platform::TPipeOverlapped FOlapRead;
  platform::TPipeOverlapped FOlapWrite;
  // BeginRead stopped at its budget with messages possibly still waiting.
  bool FReadPaused = false;
};

}  // namespace pipes
