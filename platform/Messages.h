#pragma once
// Per-thread message queues and hidden windows.
//
// Every thread that uses this API gets a message queue on first use; it lives
// until the thread ends. A window belongs to the thread that created it: its
// procedure runs only on that thread, and only that thread may destroy it.
//
// Semantics kept from the desktop message model the components were designed
// around (a later Win32 backend maps onto it one call for one call):
// - SendMessage blocks until the owner thread has run the window procedure and
//   returns its result. Sent to a window of the calling thread, it calls the
//   procedure directly. While a thread waits in SendMessage it keeps serving
//   messages that other threads send to it, so two threads sending to each other
//   at the same time do not deadlock. A send to a window that does not exist, or
//   that is destroyed (or whose thread ends) before the message is handled,
//   returns false and releases the sender.
// - PostMessage queues and returns at once.
// - Sent messages are served by PeekMessage, by MsgWaitForMultipleObjects'
//   callers through PumpMessages, and inside SendMessage; posted messages and
//   timers only by PeekMessage/DispatchMessage.
// - InSendMessage is true while the current thread runs a procedure for a
//   message sent by another thread.
// - Exceptions stay on the thread whose procedure raised them. A direct call
//   (same-thread send, DispatchMessage) passes it to the caller. For a message
//   sent by another thread, the sender is released first (its SendMessage
//   returns false, result 0) and the exception then leaves the call that served
//   the message: PeekMessage or PumpMessages, or a SendMessage that was waiting
//   for its own reply (it is raised there once that reply has arrived; if more
//   procedures raise meanwhile, the first exception is kept). The messages not
//   yet served stay queued.
// - A thread's queue ends with the thread: its windows are destroyed (no
//   message is sent to them for it), its posted messages and timers dropped,
//   and every send still waiting for it returns false.
//
// Thread safety: SendMessage, PostMessage and IsWindow may be called from any
// thread; everything else acts on the calling thread's own queue and windows.

#include <cstdint>
#include <span>
#include <string>

#include "platform/Event.h"

namespace platform {

using TThreadId = uint32_t;
using TWindowHandle = uint32_t;  // 0 is no window

constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_DEVICECHANGE = 0x0219;
constexpr uint32_t WM_USER = 0x0400;

// Wake masks of MsgWaitForMultipleObjects.
constexpr uint32_t QS_TIMER = 0x0010;
constexpr uint32_t QS_POSTMESSAGE = 0x0008;
constexpr uint32_t QS_SENDMESSAGE = 0x0040;
constexpr uint32_t QS_ALLINPUT = 0x04FF;

// Small, stable id of the calling thread (never 0).
TThreadId GetCurrentThreadId();

using TWndProcFn = intptr_t (*)(void* context,
                                TWindowHandle window,
                                uint32_t msg,
                                uintptr_t wParam,
                                intptr_t lParam);

// A window procedure: a function and the context it is called with.
struct TWndProc {
  TWndProcFn Fn = nullptr;
  void* Context = nullptr;
  bool operator==(const TWndProc&) const = default;
};

// The default procedure: handles nothing and returns 0.
intptr_t DefWindowProc(void* context,
                       TWindowHandle window,
                       uint32_t msg,
                       uintptr_t wParam,
                       intptr_t lParam);
inline constexpr TWndProc kDefWindowProc{&DefWindowProc, nullptr};

// Window classes, process-wide and guarded internally. RegisterWindowClass
// fails (false) when the name is taken; GetWindowClassInfo false when absent.
bool RegisterWindowClass(const std::string& className, TWndProc proc);
bool GetWindowClassInfo(const std::string& className, TWndProc* proc);
bool UnregisterWindowClass(const std::string& className);

// Creates a hidden window of the calling thread with the class's procedure.
// Raises EOSError when the class does not exist.
TWindowHandle CreateWindow(const std::string& className);
// Destroys a window of the calling thread; false when it is not one.
bool DestroyWindow(TWindowHandle window);
bool IsWindow(TWindowHandle window);
TThreadId GetWindowThreadId(TWindowHandle window);  // 0 when no such window

// Re-points a window of the calling thread to another procedure and returns
// the previous one ({} when the window does not exist).
TWndProc SetWindowProc(TWindowHandle window, TWndProc proc);
TWndProc GetWindowProc(TWindowHandle window);

// Returns false when the window does not exist (or disappears before the
// message is handled, or its procedure raised while serving another thread's
// send); *result gets the procedure's result otherwise (0 on false).
bool SendMessage(TWindowHandle window,
                 uint32_t msg,
                 uintptr_t wParam,
                 intptr_t lParam,
                 intptr_t* result = nullptr);
bool PostMessage(TWindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
bool InSendMessage();

struct TMsg {
  TWindowHandle Window = 0;
  uint32_t Message = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

// A window message as a method bound to a window sees it (the window handle is
// not part of it). WParam, LParam and Result are pointer-sized, so that a
// message can carry an address on every platform.
struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
};

// Serves every pending sent message, then takes (remove) or looks at the next
// posted message or due timer of the calling thread. Returns false when there
// is none.
bool PeekMessage(TMsg* msg, bool remove);
// Runs the message's window procedure (on the calling thread, which must own
// the window) and returns its result; 0 when the window is gone.
intptr_t DispatchMessage(const TMsg& msg);

// Dispatches every message queued for the calling thread.
void PumpMessages();

// Waits until a handle is signalled (returns its index), or the calling
// thread's queue holds input that matches wakeMask (returns handles.size()),
// or the time-out passes (kWaitTimeout), or the wait fails (kWaitFailed).
// Queued input counts whether or not it arrived during the wait.
uint32_t MsgWaitForMultipleObjects(std::span<const TWaitHandle> handles,
                                   uint32_t timeoutMs,
                                   uint32_t wakeMask);

// Window-message timers: every intervalMs the window receives WM_TIMER with
// wParam = id (at most one pending WM_TIMER per timer; the next period starts
// when it becomes pending; intervals below 10 ms count as 10 ms). Setting an
// existing id restarts it; killing a timer or destroying its window drops its
// pending WM_TIMER. Calling thread's windows only.
bool SetTimer(TWindowHandle window, uintptr_t id, uint32_t intervalMs);
bool KillTimer(TWindowHandle window, uintptr_t id);

// Ends the calling thread's queue now, exactly as the thread's end would; a
// later call that needs a queue creates a new one. A thread that reports its
// own end (TThread) calls it first, so that nobody waits for it afterwards.
void ReleaseMessageQueue();

// A descriptor that is readable while the calling thread's queue holds sent or
// posted messages or a due timer: a GUI toolkit's loop watches it and calls
// PumpMessages. Valid for the life of the thread's queue.
int MessageQueueWakeFd();

}  // namespace platform
