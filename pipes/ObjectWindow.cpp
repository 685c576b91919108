#include "pipes/ObjectWindow.h"

#include <array>
#include <cerrno>
#include <functional>
#include <mutex>

#include "pipes/ThreadSupport.h"
#include "platform/Error.h"

namespace pipes {

struct TThunkBlock;

struct TThunkEntry {
  TThunkBlock* Block = nullptr;     // the block this entry belongs to
  TThunkEntry* NextFree = nullptr;  // link of the free list while free
  TWndMethod Method;                // while in use
  bool InUse = false;
};

struct TThunkBlock {
  TThunkBlock* Next = nullptr;  // link of the block list
  uint16_t UseCount = 0;        // entries handed out
  std::array<TThunkEntry, kThunksPerBlock> Entries;
};

namespace {

constexpr const char* kObjectWindowClass = "ObjWndWindow";

// Guarded by UnitLock.
TThunkBlock* gBlockList = nullptr;
TThunkEntry* gFreeList = nullptr;

// The live block holding entry, or null for an address that is not an entry
// of any block (it is never dereferenced then). UnitLock held.
TThunkBlock* BlockOf(PThunkEntry entry) {
  if (!entry) {
    return nullptr;
  }
  const auto address = reinterpret_cast<uintptr_t>(entry);
  for (TThunkBlock* block = gBlockList; block; block = block->Next) {
    const auto first = reinterpret_cast<uintptr_t>(block->Entries.data());
    const uintptr_t size = sizeof(TThunkEntry) * kThunksPerBlock;
    if (address >= first && address - first < size &&
        (address - first) % sizeof(TThunkEntry) == 0) {
      return block;
    }
  }
  return nullptr;
}

void RegisterObjectWindowClass() {
  platform::TWndProc registered;
  const bool present = platform::GetWindowClassInfo(kObjectWindowClass, &registered);
  if (present && registered == platform::kDefWindowProc) {
    return;
  }
  if (present) {
    platform::UnregisterWindowClass(kObjectWindowClass);
  }
  if (!platform::RegisterWindowClass(kObjectWindowClass, platform::kDefWindowProc) &&
      !(platform::GetWindowClassInfo(kObjectWindowClass, &registered) &&
        registered == platform::kDefWindowProc)) {
    throw platform::EOSError(EEXIST, "Cannot register the window class \"ObjWndWindow\"");
  }
}

}  // namespace

PThunkEntry AllocWndThunk(TWndMethod method) {
  std::lock_guard lock(UnitLock);
  if (!gFreeList) {
    auto* block = new TThunkBlock;
    block->Next = gBlockList;
    gBlockList = block;
    // Pushed in address order, so the highest entry comes out first.
    for (TThunkEntry& entry : block->Entries) {
      entry.Block = block;
      entry.NextFree = gFreeList;
      gFreeList = &entry;
    }
  }
  TThunkEntry* entry = gFreeList;
  gFreeList = entry->NextFree;
  entry->NextFree = nullptr;
  entry->Method = method;
  entry->InUse = true;
  ++entry->Block->UseCount;
  return entry;
}

void FreeWndThunk(PThunkEntry entry) {
  std::lock_guard lock(UnitLock);
  TThunkBlock* block = BlockOf(entry);
  if (!block || block->UseCount < 1 || block->UseCount > kThunksPerBlock || !entry->InUse) {
    return;
  }
  entry->InUse = false;
  entry->Method = {};
  entry->NextFree = gFreeList;
  gFreeList = entry;
  if (--block->UseCount == 0) {
    ReleaseEmptyThunkBlocks();
  }
}

void ReleaseEmptyThunkBlocks() {
  std::lock_guard lock(UnitLock);
  TThunkBlock** link = &gBlockList;
  while (TThunkBlock* block = *link) {
    if (block->UseCount != 0) {
      link = &block->Next;
      continue;
    }
    // Unlink the block's entries from the free list; the others keep their
    // order.
    TThunkEntry** freeLink = &gFreeList;
    while (TThunkEntry* entry = *freeLink) {
      if (entry->Block == block) {
        *freeLink = entry->NextFree;
      } else {
        freeLink = &entry->NextFree;
      }
    }
    *link = block->Next;
    delete block;
  }
}

void ReleaseAllThunkBlocks() {
  std::lock_guard lock(UnitLock);
  while (TThunkBlock* block = gBlockList) {
    gBlockList = block->Next;
    delete block;
  }
  gFreeList = nullptr;
}

intptr_t ThunkWndProc(void* entry,
                      platform::TWindowHandle,
                      uint32_t msg,
                      uintptr_t wParam,
                      intptr_t lParam) {
  // A copy, taken under the lock: the method may destroy its own window, which
  // frees the entry (and maybe its block) while the method still runs.
  TWndMethod method;
  {
    std::lock_guard lock(UnitLock);
    method = static_cast<TThunkEntry*>(entry)->Method;
  }
  TMessage message{msg, wParam, lParam, 0};
  if (method) {
    method.Code(method.Object, message);
  }
  return message.Result;
}

platform::TWindowHandle CreateObjectWindow(TWndMethod method) {
  std::lock_guard lock(UnitLock);
  RegisterObjectWindowClass();
  const platform::TWindowHandle window = platform::CreateWindow(kObjectWindowClass);
  if (method) {
    try {
      platform::SetWindowProc(window, platform::TWndProc{&ThunkWndProc, AllocWndThunk(method)});
    } catch (...) {
      platform::DestroyWindow(window);
      throw;
    }
  }
  return window;
}

void DestroyObjectWindow(platform::TWindowHandle window) {
  std::lock_guard lock(UnitLock);
  const platform::TWndProc proc = platform::GetWindowProc(window);
  // Only a window that is really gone gives its entry back: a window of
  // another thread would otherwise keep a procedure whose entry is reused.
  if (!platform::DestroyWindow(window) && platform::IsWindow(window)) {
    return;
  }
  if (proc.Fn == &ThunkWndProc) {
    FreeWndThunk(static_cast<PThunkEntry>(proc.Context));
  }
}

PThunkEntry WindowThunk(platform::TWindowHandle window) {
  const platform::TWndProc proc = platform::GetWindowProc(window);
  return proc.Fn == &ThunkWndProc ? static_cast<PThunkEntry>(proc.Context) : nullptr;
}

size_t ThunkBlockCount() {
  std::lock_guard lock(UnitLock);
  size_t count = 0;
  for (TThunkBlock* block = gBlockList; block; block = block->Next) {
    ++count;
  }
  return count;
}

int ThunkBlockUseCount(PThunkEntry entry) {
  std::lock_guard lock(UnitLock);
  const TThunkBlock* block = BlockOf(entry);
  return block ? block->UseCount : -1;
}

int ThunkEntryIndex(PThunkEntry entry) {
  std::lock_guard lock(UnitLock);
  const TThunkBlock* block = BlockOf(entry);
  return block ? static_cast<int>(entry - block->Entries.data()) : -1;
}

}  // namespace pipes
