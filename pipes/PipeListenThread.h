#pragma once
// The listener: publishes the pipe name by creating one instance at a time,
// waits until a client connects to it (or the kill event is set), and hands
// every connected instance to the component, which registers the client and
// starts its worker. Then it creates the next instance.
//
// While it runs, the listener also holds one instance it never connects: the
// name then stays published between two cycles (and while a cycle's instance
// is closed and made anew), so clients that connect meanwhile wait in the
// queue instead of being dropped when the name would be withdrawn.
//
// Errors of a cycle are reported to the component (MSG_LISTENER_ERROR) and the
// cycle goes on, after a pause that grows while the failure persists (50 ms
// doubling up to 1 s), so a persistent failure does not spin. A client that
// connected and left before it was taken is dropped silently. The listener
// notices its kill event at the start of every cycle and during every wait,
// so it ends on every path once the event is set.
//
// Created suspended on the component's thread by Activate, which sets its
// OnTerminate and resumes it; it frees itself when it ends. It reads the
// component's fields only in its constructor; afterwards it reaches the
// component only through the hand-over (run on the component's thread),
// blocking notifications, and the shared thread counter.

#include <cstdint>
#include <memory>
#include <string>

#include "pipes/PipeNotifications.h"
#include "pipes/ThreadSupport.h"
#include "platform/Event.h"
#include "platform/Pipe.h"

namespace pipes {

class TPipeServer;

class TPipeListenThread : public TThreadEx {
 public:
  static constexpr uint32_t kFirstPauseMs = 50;
  static constexpr uint32_t kLongestPauseMs = 1000;

  // On the component's thread. Increments the component's thread counter
  // (the matching decrement is in the destructor).
  TPipeListenThread(TPipeServer& pipeServer, std::shared_ptr<platform::TEvent> killEvent);
  ~TPipeListenThread() override;

 protected:
  void Execute() override;

 private:
  bool CreateListeningInstance();
  // Takes the anchor instance when it is not held yet.
  void HoldName();
  void WaitForClient();
  void HandOverPipe();
  // Waits the current pause on the kill event; Terminate when it is set.
  void PauseAfterFailure();
  intptr_t NotifyComponent(uint32_t message, uintptr_t first, intptr_t second);

  platform::TWindowHandle FNotify = 0;
  platform::TThreadId FNotifyThread = 0;
  int32_t FErrorCode = 0;
  platform::TScopedPipe FPipe;
  platform::TScopedPipe FAnchor;
  std::string FPipeName;
  bool FConnected = false;
  std::shared_ptr<platform::TEvent> FKillEvent;
  platform::TPipeOverlapped FOlapConnect;
  std::shared_ptr<TPipeServerLink> FLink;
  std::shared_ptr<TThreadCounter> FCounter;
  uint32_t FPauseMs = 0;
};

}  // namespace pipes
