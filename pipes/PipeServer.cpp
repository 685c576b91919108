#include "pipes/PipeServer.h"

#include <algorithm>
#include <string>

#include "pipes/PipeControlPacket.h"
#include "pipes/PipeListenThread.h"
#include "pipes/PipeThread.h"
#include "pipes/PipeWrite.h"

namespace pipes {

using namespace platform;

namespace {

// Closes an instance nothing was written to (so there is nothing to flush) on
// the component's thread. Needs no new descriptor: it also runs when the
// process has none left.
void CloseUnusedInstance(uint32_t pipe) {
  CancelPipeIo(pipe);
  DisconnectPipe(pipe);
  ClosePipe(pipe);
}

// Characters of a UTF-8 text (continuation bytes do not count).
size_t CharacterCount(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

// Counts a handler of a pipe thread's notification while it runs. The
// component may be destroyed inside the handler: the scope then no longer
// touches it.
class TServingScope {
 public:
  explicit TServingScope(const std::shared_ptr<TPipeServerLink>& link) : FLink(link) {
    ++FLink->Server->FServing;
  }
  TServingScope(const TServingScope&) = delete;
  TServingScope& operator=(const TServingScope&) = delete;
  ~TServingScope() {
    if (FLink->Server != nullptr) {
      --FLink->Server->FServing;
    }
  }

 private:
  std::shared_ptr<TPipeServerLink> FLink;
};

TPipeServer::TPipeServer()
    : FBaseThread(GetCurrentThreadId()),
      FKillEv(std::make_shared<TEvent>(false)),
      FThreadCount(std::make_shared<TThreadCounter>()),
      FLink(std::make_shared<TPipeServerLink>()) {
  FLink->Server = this;
  FHwnd = CreateObjectWindow(MakeWndMethod<TPipeServer, &TPipeServer::HandleNotifyMessage>(this));
}

TPipeServer::~TPipeServer() {
  FComponentState |= csDestroying;
  // Unlike Deactivate, never deferred: the threads must end before what they
  // use goes. Only the threads waiting for a handler of ours further up this
  // thread's stack cannot end now; they end right after it returns, with
  // shared ownership keeping their queue, kill event and counter alive.
  try {
    FInShutDown = true;
    StopThreads(FServing);
  } catch (...) {
    // A handler's exception while waiting: go on stopping.
    try {
      StopThreads(FServing);
    } catch (...) {
    }
  }
  FActive = false;
  FInShutDown = false;
  FLink->Server = nullptr;
  for (const auto& client : FClients) {
    client->WriteQueue->Clear();
  }
  FClients.clear();
  DestroyObjectWindow(FHwnd);
}

uint32_t TPipeServer::Clients(int32_t index) const {
  if (index < 0 || index >= ClientCount()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return FClients[static_cast<size_t>(index)]->Pipe;
}

void TPipeServer::SetActive(bool value) {
  if (value == FActive) {
    return;
  }
  if (FComponentState & csLoading) {
    FDeferActive = value;
    return;
  }
  if (FComponentState & csDesigning) {
    FActive = value;
    return;
  }
  if (value) {
    Activate();
  } else {
    Deactivate();
  }
}

void TPipeServer::Loaded() {
  FComponentState &= ~static_cast<uint32_t>(csLoading);
  SetActive(FDeferActive);
}

void TPipeServer::SetDesigning(bool value) {
  if (value) {
    FComponentState |= csDesigning;
  } else {
    FComponentState &= ~static_cast<uint32_t>(csDesigning);
  }
}

void TPipeServer::ValidatePipeName(const std::string& name) {
  if (name.empty() || name.find('\\') != std::string::npos ||
      CharacterCount(name) > kMaxPipeNameLength) {
    throw EPipeException(kInvalidPipeName);
  }
}

void TPipeServer::SetPipeName(const std::string& value) {
  if (value == FPipeName) {
    return;
  }
  if (FActive) {
    throw EPipeException(kActiveChange);
  }
  ValidatePipeName(value);
  FPipeName = value;
}

void TPipeServer::Activate() {
  if (FActive) {
    return;
  }
  FKillEv->Reset();
  NoteSentHandler();
  std::unique_ptr<TPipeListenThread> listener;
  try {
    listener = std::make_unique<TPipeListenThread>(*this, FKillEv);
    listener->OnTerminate = [link = FLink](TThreadEx& thread) {
      if (link->Server != nullptr) {
        link->Server->ListenerTerminated(thread);
      }
    };
    listener->Resume();
  } catch (...) {
    // Never started: freeing it releases its count.
    listener.reset();
    FListener = nullptr;
    throw;
  }
  // It frees itself when it ends; its OnTerminate runs on this thread, so
  // not before this method has returned.
  FListener = listener.release();
  FActive = true;
}

void TPipeServer::Deactivate() {
  if (!FActive || FInShutDown) {
    return;
  }
  // Serving a send from another thread: that thread waits for us, so we
  // cannot wait for the pipe threads here. Stop once the send is over.
  if (InSendMessage()) {
    PostMessage(FHwnd, MSG_DEFERRED_DEACTIVATE, 0, 0);
    return;
  }
  FInShutDown = true;
  try {
    StopThreads(0);
  } catch (...) {
    FActive = false;
    FInShutDown = false;
    throw;
  }
  FActive = false;
  FInShutDown = false;
}

void TPipeServer::StopThreads(int32_t remaining) {
  FKillEv->Set();
  Disconnect(0);
  if (remaining <= 0) {
    // Serves the threads' last notifications and their OnTerminate handlers
    // (which unregister the clients) while it waits.
    FThreadCount->WaitForEmpty();
    return;
  }
  // The counter signals only its empty state; look again every few ms while
  // serving messages.
  while (FThreadCount->Count() > remaining) {
    const uint32_t result = MsgWaitForMultipleObjects({}, 10, QS_ALLINPUT);
    if (result == kWaitFailed) {
      break;
    }
    PumpMessages();
  }
}

void TPipeServer::StartWorker(uint32_t pipe) {
  // A client that arrives while the server stops is not started: its worker
  // would never see the stop that has already been given.
  if (FInShutDown || FKillEv->IsSet() || (FComponentState & csDestroying)) {
    CloseUnusedInstance(pipe);
    return;
  }
  try {
    RegisterClient(pipe);
  } catch (...) {
    // Nothing was registered; the client sees its pipe broken.
    CloseUnusedInstance(pipe);
    return;
  }
  const TPipeInfo& info = *FClients.back();
  std::unique_ptr<TPipeThread> worker;
  try {
    worker = std::make_unique<TPipeThread>(true, FHwnd, FBaseThread, info.WriteQueue, FThreadCount,
                                           pipe, info.KillEvent, FLink);
    worker->OnTerminate = [link = FLink](TThreadEx& thread) {
      if (link->Server != nullptr) {
        link->Server->WorkerTerminated(thread);
      }
    };
    worker->Resume();
    // It frees itself when it ends.
    static_cast<void>(worker.release());
  } catch (...) {
    // The listener waits for us: count it in case a handler destroys the
    // component.
    {
      TServingScope serving(FLink);
      try {
        UnregisterClient(pipe);
      } catch (...) {
      }
    }
    CloseUnusedInstance(pipe);
    worker.reset();
  }
}

void TPipeServer::WorkerTerminated(TThreadEx& thread) {
  const uint32_t pipe = static_cast<TPipeThread&>(thread).Pipe();
  TServingScope serving(FLink);
  UnregisterClient(pipe);
}

void TPipeServer::ListenerTerminated(TThreadEx& /*thread*/) {
  FListener = nullptr;
  // The listener's own count goes only when it is destroyed, after this.
  if (!FInShutDown && FThreadCount->Count() == 1) {
    FActive = false;
  }
}

void TPipeServer::RegisterClient(uint32_t pipe) {
  auto info = std::make_unique<TPipeInfo>();
  info->Pipe = pipe;
  info->WriteQueue = std::make_shared<TWriteQueue>();
  info->KillEvent = std::make_shared<TEvent>(false);
  FClients.push_back(std::move(info));
}

void TPipeServer::UnregisterClient(uint32_t pipe) {
  auto it =
      std::find_if(FClients.rbegin(), FClients.rend(),
                   [pipe](const std::unique_ptr<TPipeInfo>& info) { return info->Pipe == pipe; });
  if (it == FClients.rend()) {
    return;
  }
  std::unique_ptr<TPipeInfo> info = std::move(*it);
  FClients.erase(std::next(it).base());
  // Queued, unsent messages are discarded.
  info->WriteQueue->Clear();
  info.reset();
  if (!(FComponentState & csDestroying) && OnPipeDisconnect) {
    OnPipeDisconnect(*this, pipe);
  }
}

bool TPipeServer::GetClientInfo(uint32_t pipe) const {
  PPipeInfo info = nullptr;
  return GetClientInfo(pipe, &info);
}

bool TPipeServer::GetClientInfo(uint32_t pipe, PPipeInfo* pipeInfo) const {
  *pipeInfo = nullptr;
  for (auto it = FClients.rbegin(); it != FClients.rend(); ++it) {
    if ((*it)->Pipe == pipe) {
      *pipeInfo = it->get();
      return true;
    }
  }
  return false;
}

bool TPipeServer::Write(uint32_t pipe, const void* buffer, int32_t count) {
  PPipeInfo info = nullptr;
  if (!GetClientInfo(pipe, &info)) {
    return false;
  }
  // A negative count (or missing bytes) is refused rather than copied.
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    return false;
  }
  NoteSentHandler();
  info->WriteQueue->Enqueue(NewPipeWrite(buffer, count));
  return true;
}

bool TPipeServer::Write(uint32_t pipe,
                        const void* prefix,
                        int32_t prefixCount,
                        const void* buffer,
                        int32_t count) {
  PPipeInfo info = nullptr;
  if (!GetClientInfo(pipe, &info)) {
    return false;
  }
  if (prefixCount < 0 || count < 0 || (prefixCount > 0 && prefix == nullptr) ||
      (count > 0 && buffer == nullptr) || static_cast<int64_t>(prefixCount) + count > INT32_MAX) {
    return false;
  }
  NoteSentHandler();
  info->WriteQueue->Enqueue(NewPrefixedPipeWrite(prefix, prefixCount, buffer, count));
  return true;
}

bool TPipeServer::Broadcast(const void* buffer, int32_t count) {
  int32_t written = 0;
  for (int32_t index = ClientCount() - 1; index >= 0; --index) {
    if (!Write(Clients(index), buffer, count)) {
      break;
    }
    ++written;
  }
  return written == ClientCount();
}

bool TPipeServer::Broadcast(const void* prefix,
                            int32_t prefixCount,
                            const void* buffer,
                            int32_t count) {
  int32_t written = 0;
  for (int32_t index = ClientCount() - 1; index >= 0; --index) {
    if (!Write(Clients(index), prefix, prefixCount, buffer, count)) {
      break;
    }
    ++written;
  }
  return written == ClientCount();
}

bool TPipeServer::SendStream(uint32_t pipe, TStream* stream) {
  PPipeInfo info = nullptr;
  if (stream == nullptr || !GetClientInfo(pipe, &info)) {
    return false;
  }
  NoteSentHandler();
  std::shared_ptr<TWriteQueue> queue = info->WriteQueue;
  queue->EnqueueStartPacket();
  // The end packet goes last also when reading the stream raises, so the
  // client is not left waiting for the end of the message.
  struct TEnd {
    TWriteQueue& Queue;
    ~TEnd() {
      try {
        Queue.EnqueueEndPacket();
      } catch (...) {
      }
    }
  } end{*queue};
  std::vector<uint8_t> scratch(static_cast<size_t>(kMaxPipeMessage));
  stream->SetPosition(0);
  for (;;) {
    const int32_t n = stream->Read(scratch.data(), kMaxPipeMessage);
    if (n <= 0) {
      break;
    }
    queue->Enqueue(NewPipeWrite(scratch.data(), n));
  }
  return true;
}

bool TPipeServer::Disconnect(uint32_t pipe) {
  if (pipe == 0) {
    for (auto it = FClients.rbegin(); it != FClients.rend(); ++it) {
      (*it)->KillEvent->Set();
    }
    return true;
  }
  PPipeInfo info = nullptr;
  if (!GetClientInfo(pipe, &info)) {
    return false;
  }
  info->KillEvent->Set();
  return true;
}

void TPipeServer::NoteSentHandler() {
  FLink->NotifySent.store(static_cast<bool>(OnPipeSent), std::memory_order_relaxed);
}

void TPipeServer::HandleNotifyMessage(TMessage& message) {
  const std::shared_ptr<TPipeServerLink> link = FLink;
  const auto pipe = static_cast<uint32_t>(message.WParam);
  switch (message.Msg) {
    case MSG_LISTENER_ERROR:
    case MSG_WORKER_ERROR: {
      TServingScope serving(link);
      if (OnPipeError) {
        OnPipeError(
            *this, pipe,
            message.Msg == MSG_LISTENER_ERROR ? TPipeContext::pcListener : TPipeContext::pcWorker,
            static_cast<int32_t>(message.LParam));
      }
      break;
    }
    case MSG_CLIENT_CONNECTED: {
      TServingScope serving(link);
      if (OnPipeConnect) {
        OnPipeConnect(*this, pipe);
      }
      break;
    }
    case MSG_DATA_SENT: {
      TServingScope serving(link);
      if (OnPipeSent) {
        OnPipeSent(*this, pipe, static_cast<uint32_t>(message.LParam));
      }
      break;
    }
    case MSG_DATA_RECEIVED: {
      TServingScope serving(link);
      if (OnPipeMessage) {
        OnPipeMessage(*this, pipe, *reinterpret_cast<TStream*>(message.LParam));
      }
      break;
    }
    case MSG_THREAD_MISMATCH:
      throw EPipeException(kThreadWndMismatch);
    case MSG_DEFERRED_DEACTIVATE:
      SetActive(false);
      break;
    default:
      message.Result = DefWindowProc(nullptr, FHwnd, message.Msg, message.WParam, message.LParam);
      return;
  }
  // The handler may have destroyed the component.
  if (link->Server != nullptr) {
    NoteSentHandler();
  }
}

}  // namespace pipes
