#pragma once
// Object windows: hidden windows of the calling thread whose messages reach a
// method of an object.
//
//   FHwnd = CreateObjectWindow(MakeWndMethod<TPipeServer, &TPipeServer::WndMethod>(this));
//   ...
//   DestroyObjectWindow(FHwnd);
//
// The method receives a TMessage (Msg, WParam, LParam, Result 0) and sets
// Result, which is what SendMessage returns. The window handle is not passed.
//
// Each window is bound to its method through an entry of a pool shared by the
// whole process: blocks of 314 entries, a free list (a new block's highest
// entry is handed out first), a use count per block, and a block returned as
// soon as its last entry is freed. The window's procedure is {ThunkWndProc,
// entry}. The pool is touched only under UnitLock.
//
// Threads: an object window is created, served and destroyed on one thread
// (its owner); the pool functions may be called from any thread. The object
// must outlive its window.

#include <cstddef>
#include <cstdint>

#include "platform/Messages.h"

namespace pipes {

using platform::TMessage;

// A message method: code and object. Assigned when Code is not null.
struct TWndMethod {
  void (*Code)(void* object, TMessage& message) = nullptr;
  void* Object = nullptr;
  explicit operator bool() const { return Code != nullptr; }
  bool operator==(const TWndMethod&) const = default;
};

template <class T, void (T::*Member)(TMessage&)>
TWndMethod MakeWndMethod(T* object) {
  return TWndMethod{
      [](void* self, TMessage& message) { (static_cast<T*>(self)->*Member)(message); }, object};
}

constexpr int kThunksPerBlock = 314;

struct TThunkEntry;
using PThunkEntry = TThunkEntry*;

// Creates a hidden window of class "ObjWndWindow" on the calling thread and,
// when method is assigned, binds it to method. Raises EOSError when the class
// cannot be registered or the window cannot be made (no window is left then).
platform::TWindowHandle CreateObjectWindow(TWndMethod method);
// Destroys a window of the calling thread and frees its entry. A window that
// still has the class procedure gives back no entry; a window of another
// thread is left alone (its entry stays bound).
void DestroyObjectWindow(platform::TWindowHandle window);

// The pool. AllocWndThunk returns an entry bound to method, to be used as the
// context of ThunkWndProc. FreeWndThunk ignores null, foreign and already free
// entries. ReleaseEmptyThunkBlocks returns every block without entries in use.
PThunkEntry AllocWndThunk(TWndMethod method);
void FreeWndThunk(PThunkEntry entry);
void ReleaseEmptyThunkBlocks();
// Module finalisation: returns every block, in use or not.
void ReleaseAllThunkBlocks();

// The procedure every entry leads to: calls the entry's method with a
// TMessage and returns its Result.
intptr_t ThunkWndProc(void* entry,
                      platform::TWindowHandle window,
                      uint32_t msg,
                      uintptr_t wParam,
                      intptr_t lParam);

// Inspection. The entry bound to a window (null when it has another
// procedure), the number of blocks, and, for an entry of a live block, its
// block's use count and its index in the block (-1 for a foreign entry).
PThunkEntry WindowThunk(platform::TWindowHandle window);
size_t ThunkBlockCount();
int ThunkBlockUseCount(PThunkEntry entry);
int ThunkEntryIndex(PThunkEntry entry);

}  // namespace pipes
