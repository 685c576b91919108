#pragma once
// The notifications the pipe threads deliver to the component's hidden
// window, and the link through which the threads reach the component.

#include <atomic>
#include <cstdint>

#include "platform/Messages.h"

namespace pipes {

class TPipeServer;

// Sent (the thread waits until the component's thread has handled them),
// except MSG_THREAD_MISMATCH and MSG_DEFERRED_DEACTIVATE, which are posted.
constexpr uint32_t MSG_LISTENER_ERROR = platform::WM_USER + 100;       // pipe, error code
constexpr uint32_t MSG_WORKER_ERROR = platform::WM_USER + 101;         // pipe, error code
constexpr uint32_t MSG_CLIENT_CONNECTED = platform::WM_USER + 102;     // pipe, 0
constexpr uint32_t MSG_DATA_SENT = platform::WM_USER + 103;            // pipe, bytes written
constexpr uint32_t MSG_DATA_RECEIVED = platform::WM_USER + 104;        // pipe, TStream*
constexpr uint32_t MSG_THREAD_MISMATCH = platform::WM_USER + 200;      // 0, 0
constexpr uint32_t MSG_DEFERRED_DEACTIVATE = platform::WM_USER + 300;  // 0, 0

// Shared by the component and every pipe thread it starts; lives as long as
// the longest of them, so a thread that outlives the component (see
// TPipeServer's destructor) still finds it.
struct TPipeServerLink {
  // The component; null once it is destroyed. Read and written on the
  // component's thread only (the threads use it from methods run there).
  TPipeServer* Server = nullptr;
  // Whether OnPipeSent had a handler when the component last looked (it
  // looks whenever it queues data and after every notification). Workers skip
  // the notification of a sent message while it is false: it would only be
  // consumed, and the worker would wait for the component's thread for
  // nothing.
  std::atomic<bool> NotifySent{true};
};

}  // namespace pipes
