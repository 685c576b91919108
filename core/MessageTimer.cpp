#include "core/MessageTimer.h"

#include <cstdio>
#include <exception>

namespace core {

namespace {

constexpr char kTimerWindowClass[] = "TQnTimerWindow";
constexpr uintptr_t kTimerId = 1;

}  // namespace

TMessageTimer::TMessageTimer(TTimer& timer) : FTimer(timer) {
  // The class is process-wide; a second timer finds it registered already.
  platform::RegisterWindowClass(kTimerWindowClass, platform::kDefWindowProc);
  FWindow = platform::CreateWindow(kTimerWindowClass);
  platform::SetWindowProc(FWindow, {&TMessageTimer::WindowProc, this});
  try {
    FSubscription = FTimer.Subscribe([this](TComponent&, TChangeKind kind, int32_t) {
      if (kind == TChangeKind::Timer) {
        Update();
      }
    });
  } catch (...) {
    platform::DestroyWindow(FWindow);
    throw;
  }
  Update();
}

TMessageTimer::~TMessageTimer() {
  FTimer.Unsubscribe(FSubscription);
  platform::KillTimer(FWindow, kTimerId);
  platform::DestroyWindow(FWindow);
}

void TMessageTimer::Update() {
  if (FTimer.Enabled() && FTimer.Interval() > 0) {
    platform::SetTimer(FWindow, kTimerId, FTimer.Interval());
  } else {
    platform::KillTimer(FWindow, kTimerId);
  }
}

intptr_t TMessageTimer::WindowProc(void* context,
                                   platform::TWindowHandle window,
                                   uint32_t msg,
                                   uintptr_t wParam,
                                   intptr_t lParam) {
  if (msg != platform::WM_TIMER || wParam != kTimerId) {
    return platform::DefWindowProc(context, window, msg, wParam, lParam);
  }
  // No exception may leave a window procedure. The form's own handlers show
  // theirs to the operator; this is the last resort for any other OnTimer.
  try {
    static_cast<TMessageTimer*>(context)->FTimer.Fire();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "timer %s: %s\n",
                 static_cast<TMessageTimer*>(context)->FTimer.Name().c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "timer %s: unknown exception\n",
                 static_cast<TMessageTimer*>(context)->FTimer.Name().c_str());
  }
  return 0;
}

}  // namespace core
