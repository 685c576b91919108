#pragma once
// TPipeServer: publishes one named pipe and serves any number of clients on
// it, hiding every thread and overlapped operation behind events raised on
// the component's thread (the thread that created it) and a few operations
// that queue messages for one client or for all of them.
//
// Inside, one listener thread (TPipeListenThread) creates pipe instances and
// waits for clients; one worker thread per client (TPipeThread) reads and
// writes that client's instance; each client has its own write queue. The
// threads never call the owner: they send notifications to the component's
// hidden window, and the component turns each into an event on its own thread.
// Because every notification is a blocking send, handlers run one at a time
// and a worker reads its client's next message only after OnPipeMessage has
// returned.
//
// Life of a client, all events on the component's thread: the listener hands
// the connected instance over (StartWorker registers the client: Write and
// ClientCount see it from here on); OnPipeConnect; any number of
// OnPipeMessage (arrival order) and OnPipeSent (queue order); the worker ends
// (client gone, Disconnect, deactivation, or an error, which raises
// OnPipeError first); OnPipeDisconnect after the record is removed.
//
// Threads: every operation must be called on the component's thread, and
// events are raised only there; the component's state needs no lock. The
// program's module initialisation (TPipesModule) must outlive the component.
//
// Ownership: the component owns its window, kill event, client records and
// thread counter. What a pipe thread uses (its client's queue and kill event,
// the counter, the link) is shared with it, so it stays valid until the
// thread has ended even when the component is destroyed from inside one of
// its own event handlers (see the destructor).

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pipes/ObjectWindow.h"
#include "pipes/PipeNotifications.h"
#include "pipes/PipeServerContract.h"
#include "pipes/Stream.h"
#include "pipes/ThreadSupport.h"
#include "pipes/WriteQueue.h"
#include "platform/Event.h"
#include "platform/Messages.h"

namespace pipes {

class EPipeException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Texts of EPipeException.
inline constexpr const char* kThreadWndMismatch =
    "The notify window and the component window do not exist in the same thread!";
inline constexpr const char* kActiveChange = "Cannot change property while server is active!";
inline constexpr const char* kInvalidPipeName = "Invalid pipe name specified!";

inline constexpr const char* kDefaultPipeName = "PipeServer";
constexpr size_t kMaxPipeNameLength = 256;

// One connected client, owned by the component.
struct TPipeInfo {
  uint32_t Pipe = 0;
  // Setting it ends the client's worker.
  std::shared_ptr<platform::TEvent> KillEvent;
  // The client's outgoing messages.
  std::shared_ptr<TWriteQueue> WriteQueue;
};
using PPipeInfo = TPipeInfo*;

class TPipeThread;
class TPipeListenThread;

class TPipeServer : public TPipeServerContract {
 public:
  // Component state flags of the framework's components.
  enum TComponentStateFlag : uint32_t {
    csLoading = 1u << 0,
    csDesigning = 1u << 1,
    csDestroying = 1u << 2,
  };

  // On the thread that is to serve the events. Raises EOSError when the
  // window or the kill event cannot be made.
  TPipeServer();
  TPipeServer(const TPipeServer&) = delete;
  TPipeServer& operator=(const TPipeServer&) = delete;
  // Stops the server and waits for every pipe thread (no OnPipeDisconnect is
  // raised). Called from inside one of the component's own handlers (while a
  // pipe thread waits for that handler), it waits for every other pipe thread
  // and leaves the waiting ones to end on their own right after the handler
  // returns; they find everything they use still valid and no longer reach
  // the component.
  ~TPipeServer() override;

  // --- Properties
  bool Active() const override { return FActive; }
  // True runs Activate, false Deactivate (see the .cpp); while loading the
  // value is only remembered, in design mode only stored.
  void SetActive(bool value) override;
  const std::string& PipeName() const { return FPipeName; }
  // Raises EPipeException kActiveChange when changed while active, and
  // kInvalidPipeName for an empty name, a backslash, or more than 256
  // characters.
  void SetPipeName(const std::string& value);
  platform::TWindowHandle WindowHandle() const { return FHwnd; }
  platform::TThreadId BaseThread() const { return FBaseThread; }
  int32_t ClientCount() const override { return static_cast<int32_t>(FClients.size()); }
  // Raises std::out_of_range outside 0..ClientCount()-1.
  uint32_t Clients(int32_t index) const override;

  // --- Loading and design mode (the framework's component streaming)
  uint32_t ComponentState() const { return FComponentState; }
  // Marks the start of loading stored properties: Active is only remembered.
  void BeginLoading() { FComponentState |= csLoading; }
  // Loading has completed: Active takes the remembered value.
  virtual void Loaded();
  void SetDesigning(bool value);

  // --- Operations. None waits for the data to leave.
  bool Write(uint32_t pipe, const void* buffer, int32_t count) override;
  bool Write(uint32_t pipe,
             const void* prefix,
             int32_t prefixCount,
             const void* buffer,
             int32_t count);
  bool Broadcast(const void* buffer, int32_t count) override;
  bool Broadcast(const void* prefix, int32_t prefixCount, const void* buffer, int32_t count);
  // Sends the whole stream, from position 0, as one multi-part message.
  bool SendStream(uint32_t pipe, TStream* stream);
  bool Disconnect(uint32_t pipe) override;
  bool GetClientInfo(uint32_t pipe) const override;
  // The component's own record, valid until the client is unregistered.
  bool GetClientInfo(uint32_t pipe, PPipeInfo* pipeInfo) const;

  // --- Used by the pipe threads (on the component's thread)
  void StartWorker(uint32_t pipe);
  void WorkerTerminated(TThreadEx& thread);
  void ListenerTerminated(TThreadEx& thread);
  const std::shared_ptr<TPipeServerLink>& Link() const { return FLink; }
  const std::shared_ptr<TThreadCounter>& ThreadCounter() const { return FThreadCount; }

  static void ValidatePipeName(const std::string& name);

 private:
  friend class TServingScope;

  void Activate();
  void Deactivate();
  // Ends the listener and every worker and waits (serving messages) until at
  // most `remaining` pipe threads are left.
  void StopThreads(int32_t remaining);
  void RegisterClient(uint32_t pipe);
  void UnregisterClient(uint32_t pipe);
  void HandleNotifyMessage(TMessage& message);
  // Refreshes the workers' view of whether OnPipeSent has a handler.
  void NoteSentHandler();

  platform::TThreadId FBaseThread = 0;
  platform::TWindowHandle FHwnd = 0;
  std::string FPipeName = kDefaultPipeName;
  bool FDeferActive = false;
  bool FActive = false;
  bool FInShutDown = false;
  std::shared_ptr<platform::TEvent> FKillEv;
  std::vector<std::unique_ptr<TPipeInfo>> FClients;
  std::shared_ptr<TThreadCounter> FThreadCount;
  TPipeListenThread* FListener = nullptr;  // frees itself when it ends
  std::shared_ptr<TPipeServerLink> FLink;
  uint32_t FComponentState = 0;
  // Handlers of pipe threads' notifications in progress on this thread;
  // each has one pipe thread waiting for it.
  int32_t FServing = 0;
};

}  // namespace pipes
