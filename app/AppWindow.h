#pragma once
// The program's application window, as far as other processes see it.
//
// Each process of the server has one application window, made before anything
// else. Its 32-bit handle is what the single-instance guard records, and a
// later start uses it to ask this process to bring its main window to the
// front (restore it if minimised, then raise it). One process cannot raise
// another's window directly here, so the handle names a small datagram
// endpoint of this process; the request is a message to it, and this
// process's main thread carries it out (OnActivate).
//
// Requests are accepted only from processes of the same user; anything else
// that arrives (other users, wrong size, another window's handle) is dropped.
//
// Thread safety: a TAppWindow is made, served and destroyed on the main
// thread. ActivateAppWindow may be called from any thread.

#include <cstdint>
#include <functional>

#include "platform/Handle.h"

namespace app {

using TAppWindowHandle = uint32_t;  // 0 is no window

class TAppWindow {
 public:
  // Raises platform::EOSError when the endpoint cannot be made.
  TAppWindow();
  TAppWindow(const TAppWindow&) = delete;
  TAppWindow& operator=(const TAppWindow&) = delete;
  ~TAppWindow() = default;

  TAppWindowHandle Handle() const { return FHandle; }

  // Readable while requests wait: the main loop watches it (for example with
  // a socket notifier) and calls ServeRequests.
  int RequestFd() const { return FSocket.Get(); }

  // Takes every waiting request and raises OnActivate once if any of them
  // asked for it. Returns the number of requests accepted. An exception from
  // the handler reaches the caller; requests already taken are not repeated.
  int ServeRequests();

  // "Restore the main window if it is minimised, then bring it to the front."
  std::function<void(TAppWindow& sender)> OnActivate;

 private:
  platform::TScopedFd FSocket;
  TAppWindowHandle FHandle = 0;
};

// Asks the application window `window` (of this or another process of the
// same user) to bring its main window to the front. Does not wait for it.
// Returns whether the request was delivered: false when no such window exists
// or its queue of requests is full.
bool ActivateAppWindow(TAppWindowHandle window);

}  // namespace app
