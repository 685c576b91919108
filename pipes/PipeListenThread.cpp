#include "pipes/PipeListenThread.h"

#include <algorithm>
#include <cerrno>

#include "pipes/PipeServer.h"
#include "pipes/PipeThread.h"

namespace pipes {

using namespace platform;

TPipeListenThread::TPipeListenThread(TPipeServer& pipeServer, std::shared_ptr<TEvent> killEvent)
    : FNotify(pipeServer.WindowHandle()),
      FNotifyThread(pipeServer.BaseThread()),
      FPipeName(pipeServer.PipeName()),
      FKillEvent(std::move(killEvent)),
      FLink(pipeServer.Link()),
      FCounter(pipeServer.ThreadCounter()) {
  SetFreeOnTerminate(true);
  SetPriority(TThreadPriority::tpLower);
  FCounter->Increment();
}

TPipeListenThread::~TPipeListenThread() {
  if (FPipe.IsValid()) {
    const TWaitHandle stop = FKillEvent->WaitHandle();
    if (FConnected) {
      ClosePipeHandle(FPipe.Release(), true, &stop);
    } else {
      FPipe.Close();
    }
  }
  FAnchor.Close();
  FKillEvent.reset();
  FLink.reset();
  if (std::shared_ptr<TThreadCounter> counter = std::move(FCounter)) {
    counter->Decrement();
  }
}

void TPipeListenThread::HoldName() {
  if (!FAnchor.IsValid()) {
    TPipeHandle anchor = kInvalidPipeHandle;
    // A failure shows in the cycle's own instance creation.
    if (CreatePipeInstance(PipePath(FPipeName), &anchor) == ERROR_SUCCESS) {
      FAnchor.Reset(anchor);
    }
  }
}

bool TPipeListenThread::CreateListeningInstance() {
  TPipeHandle pipe = kInvalidPipeHandle;
  FErrorCode = CreatePipeInstance(PipePath(FPipeName), &pipe);
  FPipe.Reset(pipe);
  return FPipe.IsValid();
}

void TPipeListenThread::Execute() {
  if (SyncBaseTID() != FNotifyThread) {
    PostMessage(FNotify, MSG_THREAD_MISMATCH, 0, 0);
    return;
  }
  while (!Terminated()) {
    // Every path comes back here, so a stop is seen even when the cycle
    // keeps failing before it could wait.
    if (FKillEvent->IsSet()) {
      Terminate();
      break;
    }
    FConnected = false;
    HoldName();
    if (CreateListeningInstance()) {
      const int32_t result = ConnectPipe(FPipe.Get(), FOlapConnect);
      if (result == ERROR_SUCCESS || result == ERROR_PIPE_CONNECTED) {
        FConnected = true;
      } else if (result == ERROR_IO_PENDING) {
        WaitForClient();
      } else {
        FErrorCode = result;
      }
    }
    if (FConnected) {
      FPauseMs = 0;
      HandOverPipe();
      continue;
    }
    const bool failed = !Terminated() && FErrorCode != ERROR_NO_DATA;
    if (failed) {
      NotifyComponent(MSG_LISTENER_ERROR, FPipe.IsValid() ? FPipe.Get() : kInvalidPipeHandle,
                      FErrorCode);
    }
    FOlapConnect.Reset();
    FPipe.Close();
    if (failed) {
      PauseAfterFailure();
    }
  }
}

void TPipeListenThread::WaitForClient() {
  for (;;) {
    const TWaitHandle handles[] = {FKillEvent->WaitHandle(), FOlapConnect.WaitHandle()};
    errno = 0;
    const uint32_t result = WaitForMultipleObjects(handles, kInfinite);
    if (result == kWaitObject0) {
      Terminate();
      return;
    }
    if (result != kWaitObject0 + 1) {
      FErrorCode = errno != 0 ? (kErrorFromErrno | errno) : ERROR_INVALID_HANDLE;
      return;
    }
    const int32_t outcome = GetPipeOverlappedResult(FPipe.Get(), FOlapConnect, nullptr, false);
    if (outcome == ERROR_SUCCESS) {
      FConnected = true;
      return;
    }
    if (outcome != ERROR_IO_INCOMPLETE) {
      FErrorCode = outcome;
      return;
    }
  }
}

void TPipeListenThread::HandOverPipe() {
  // From here on the component owns the instance: it starts a worker for it
  // or closes it.
  const TPipeHandle pipe = FPipe.Release();
  FConnected = false;
  bool ran = false;
  std::shared_ptr<TPipeServerLink> link = FLink;
  struct TCloseUnlessRan {
    const bool& Ran;
    TPipeHandle Pipe;
    const TWaitHandle Stop;
    ~TCloseUnlessRan() {
      if (!Ran) {
        ClosePipeHandle(Pipe, true, &Stop);
      }
    }
  } closeUnlessRan{ran, pipe, FKillEvent->WaitHandle()};
  RunInBaseThread([link, pipe, &ran] {
    ran = true;
    if (link->Server != nullptr) {
      link->Server->StartWorker(pipe);
    } else {
      // The component is gone; nothing was written to the instance.
      CancelPipeIo(pipe);
      DisconnectPipe(pipe);
      ClosePipe(pipe);
    }
  });
}

void TPipeListenThread::PauseAfterFailure() {
  FPauseMs = std::clamp(FPauseMs * 2, kFirstPauseMs, kLongestPauseMs);
  if (FKillEvent->Wait(FPauseMs) == kWaitObject0) {
    Terminate();
  }
}

intptr_t TPipeListenThread::NotifyComponent(uint32_t message, uintptr_t first, intptr_t second) {
  intptr_t result = 0;
  if (IsWindow(FNotify)) {
    SendMessage(FNotify, message, first, second, &result);
  }
  return result;
}

}  // namespace pipes
