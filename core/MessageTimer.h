#pragma once
// Makes a TTimer tick on the thread that creates this object.
//
// A hidden window of the calling thread receives the platform's window-message
// timer (WM_TIMER) while the timer model is enabled, and each tick calls
// TTimer::Fire(). Enabling arms the platform timer, disabling kills it, and a
// new interval restarts it. Ticks are delivered by that thread's message
// dispatch (PumpMessages, or the GUI loop that pumps the queue).
//
// Threads: create, use and destroy on one thread, the one that pumps the
// messages. The timer model must outlive this object.

#include <cstdint>

#include "core/Controls.h"
#include "platform/Messages.h"

namespace core {

class TMessageTimer {
 public:
  // Raises platform::EOSError when the hidden window cannot be created.
  explicit TMessageTimer(TTimer& timer);
  TMessageTimer(const TMessageTimer&) = delete;
  TMessageTimer& operator=(const TMessageTimer&) = delete;
  ~TMessageTimer();

 private:
  static intptr_t WindowProc(void* context,
                             platform::TWindowHandle window,
                             uint32_t msg,
                             uintptr_t wParam,
                             intptr_t lParam);
  void Update();

  TTimer& FTimer;
  platform::TWindowHandle FWindow = 0;
  int32_t FSubscription = 0;
};

}  // namespace core
