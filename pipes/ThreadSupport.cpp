#include "pipes/ThreadSupport.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "pipes/ObjectWindow.h"
#include "platform/Error.h"

namespace pipes {

std::recursive_mutex UnitLock;

namespace {

constexpr const char* kSyncWindowClass = "ThreadSyncWindow";
constexpr platform::TWndProc kSyncWndProc{&TSyncManager::SyncWindowProc, nullptr};

// Guarded by UnitLock.
TSyncManager* gSyncManager = nullptr;

}  // namespace

void InitializePipes() {
  // The lock is a static object and the singleton starts null; there is
  // nothing to create here. Kept as the counterpart of FinalizePipes so that
  // the program states the module's life in one place.
}

void FinalizePipes() {
  TSyncManager* manager = nullptr;
  {
    std::lock_guard lock(UnitLock);
    manager = std::exchange(gSyncManager, nullptr);
  }
  delete manager;
  ReleaseAllThunkBlocks();
}

void PumpMessages() {
  platform::TMsg msg;
  while (platform::PeekMessage(&msg, true)) {
    platform::DispatchMessage(msg);
    std::this_thread::yield();
  }
}

// ---------------------------------------------------------------- TThreadCounter

TThreadCounter::TThreadCounter() = default;

void TThreadCounter::Increment() {
  std::lock_guard lock(FLock);
  ++FCount;
  FEmpty.Reset();
}

void TThreadCounter::Decrement() {
  std::lock_guard lock(FLock);
  if (FCount > 0) {
    --FCount;
  }
  if (FCount == 0) {
    FEmpty.Set();
  }
}

int32_t TThreadCounter::Count() const {
  std::lock_guard lock(FLock);
  return FCount;
}

void TThreadCounter::WaitForEmpty() {
  const platform::TWaitHandle handles[] = {FEmpty.WaitHandle()};
  for (;;) {
    const uint32_t result =
        platform::MsgWaitForMultipleObjects(handles, platform::kInfinite, platform::QS_SENDMESSAGE);
    if (result != 1) {
      break;  // empty, or the wait failed
    }
    PumpMessages();
  }
  // The event alone orders nothing between threads; taking the lock once makes
  // everything the last thread did before its Decrement visible to the caller.
  std::lock_guard lock(FLock);
}

// ------------------------------------------------------------------ TSyncManager

TSyncManager& TSyncManager::Instance() {
  std::lock_guard lock(UnitLock);
  if (!gSyncManager) {
    gSyncManager = new TSyncManager;
  }
  return *gSyncManager;
}

TSyncManager::~TSyncManager() {
  std::lock_guard lock(FThreadLock);
  // From the last entry to the first. Entries whose window is 0 stay in the
  // list through DisposeSyncInfo and are freed with it.
  for (size_t i = FList.size(); i-- > 0;) {
    if (i < FList.size()) {
      DisposeSyncInfo(FList[i].get());
    }
  }
  FList.clear();
}

TSyncInfo* TSyncManager::LookupLocked(platform::TThreadId id) {
  for (const auto& info : FList) {
    if (info->FSyncBaseTID == id) {
      return info.get();
    }
  }
  return nullptr;
}

TSyncInfo* TSyncManager::LookupSyncInfo(platform::TThreadId id) {
  std::lock_guard lock(FThreadLock);
  return LookupLocked(id);
}

size_t TSyncManager::EntryCount() const {
  std::lock_guard lock(FThreadLock);
  return FList.size();
}

void TSyncManager::AddThread(TThreadSync& threadSync) {
  std::lock_guard lock(FThreadLock);
  TSyncInfo* info = LookupLocked(threadSync.FSyncBaseTID);
  bool added = false;
  if (!info) {
    FList.push_back(std::unique_ptr<TSyncInfo>(new TSyncInfo(threadSync.FSyncBaseTID)));
    info = FList.back().get();
    added = true;
  }
  if (info->FThreadCount == 0) {
    try {
      info->FThreadWindow = CreateSyncWindow();
    } catch (...) {
      // Counting a registration whose object never comes to exist would keep
      // the entry forever without a window; leave nothing behind instead.
      if (added) {
        FList.pop_back();
      }
      throw;
    }
  }
  ++info->FThreadCount;
}

platform::TWindowHandle TSyncManager::CreateSyncWindow() {
  platform::TWndProc registered;
  const bool present = platform::GetWindowClassInfo(kSyncWindowClass, &registered);
  if (!present || registered != kSyncWndProc) {
    if (present) {
      platform::UnregisterWindowClass(kSyncWindowClass);
    }
    if (!platform::RegisterWindowClass(kSyncWindowClass, kSyncWndProc) &&
        !(platform::GetWindowClassInfo(kSyncWindowClass, &registered) &&
          registered == kSyncWndProc)) {
      throw platform::EOSError(EEXIST, "Cannot register the window class \"ThreadSyncWindow\"");
    }
  }
  return platform::CreateWindow(kSyncWindowClass);
}

void TSyncManager::RemoveThread(TThreadSync& threadSync) {
  std::lock_guard lock(FThreadLock);
  if (TSyncInfo* info = LookupLocked(threadSync.FSyncBaseTID)) {
    // The count falls when the base thread processes this message. If the base
    // thread has ended, its window is gone and the post fails: its entry then
    // stays until the module is finalised.
    platform::PostMessage(info->FThreadWindow, WM_SYNC_RELEASE, 0,
                          reinterpret_cast<intptr_t>(info));
  }
}

void TSyncManager::ReleaseSyncWindow(TSyncInfo* info) {
  std::lock_guard lock(FThreadLock);
  // Only entries of the list are touched: lParam of a message is not trusted.
  const auto it = std::find_if(FList.begin(), FList.end(),
                               [info](const auto& entry) { return entry.get() == info; });
  if (it == FList.end()) {
    return;
  }
  --info->FThreadCount;
  if (info->FThreadCount == 0) {
    DisposeSyncInfo(info);
  }
}

void TSyncManager::DisposeSyncInfo(TSyncInfo* info) {
  if (info->FThreadWindow == 0) {
    return;
  }
  // Only the owner thread can destroy the window; from any other thread (module
  // finalisation after a base thread ended) the window is already gone.
  platform::DestroyWindow(info->FThreadWindow);
  std::erase_if(FList, [info](const auto& entry) { return entry.get() == info; });
}

void TSyncManager::Synchronize(TThreadSync& threadSync) {
  // The lookup takes the lock: other threads may add or dispose entries at the
  // same time, and the list must not be read while it changes. The send itself
  // runs without any lock, so the method may create or end threads.
  platform::TWindowHandle window = 0;
  {
    std::lock_guard lock(FThreadLock);
    if (TSyncInfo* info = LookupLocked(threadSync.FSyncBaseTID)) {
      window = info->FThreadWindow;
    }
  }
  if (window != 0) {
    platform::SendMessage(window, WM_SYNC_EXECUTE, 0, reinterpret_cast<intptr_t>(&threadSync));
  }
}

intptr_t TSyncManager::SyncWindowProc(void* context,
                                      platform::TWindowHandle window,
                                      uint32_t msg,
                                      uintptr_t wParam,
                                      intptr_t lParam) {
  switch (msg) {
    case WM_SYNC_RELEASE:
      Instance().ReleaseSyncWindow(reinterpret_cast<TSyncInfo*>(lParam));
      return 0;
    case WM_SYNC_EXECUTE: {
      auto* threadSync = reinterpret_cast<TThreadSync*>(lParam);
      threadSync->FSyncRaise = nullptr;
      try {
        if (threadSync->FMethod) {
          threadSync->FMethod();
        }
      } catch (...) {
        // Kept alive by the exception_ptr and raised again, as the same
        // object, in the thread that asked.
        threadSync->FSyncRaise = std::current_exception();
      }
      return 0;
    }
    default:
      return platform::DefWindowProc(context, window, msg, wParam, lParam);
  }
}

// ------------------------------------------------------------------- TThreadSync

TThreadSync::TThreadSync() : FSyncBaseTID(platform::GetCurrentThreadId()) {
  TSyncManager::Instance().AddThread(*this);
}

TThreadSync::~TThreadSync() {
  TSyncManager::Instance().RemoveThread(*this);
}

void TThreadSync::Synchronize(TThreadMethod method) {
  FSyncRaise = nullptr;
  FMethod = std::move(method);
  TSyncManager::Instance().Synchronize(*this);
  FMethod = nullptr;
  if (FSyncRaise) {
    std::rethrow_exception(std::exchange(FSyncRaise, nullptr));
  }
}

// --------------------------------------------------------------------- TThreadEx

TThreadEx::TThreadEx()
    : FSync(std::make_unique<TThreadSync>()), FSyncBaseTID(FSync->SyncBaseTID()) {}

TThreadEx::~TThreadEx() {
  // An owned thread still running would use FSync in DoTerminate: end it
  // first. Wait keeps serving on the base thread, where DoTerminate's
  // synchronisation is handled.
  if (Started() && !Finished() && platform::GetCurrentThreadId() != ThreadId()) {
    Terminate();
    Wait();
  }
  FSync.reset();
}

void TThreadEx::Wait() {
  if (!Started()) {
    return;
  }
  const platform::TWaitHandle handles[] = {Handle()};
  if (platform::GetCurrentThreadId() != FSyncBaseTID) {
    platform::WaitForSingleObject(handles[0], platform::kInfinite);
    ExitCode();  // orders the thread's work before the caller's, like WaitFor
    return;
  }
  for (;;) {
    const uint32_t result = platform::MsgWaitForMultipleObjects(handles, platform::kInfinite, 0xFF);
    if (result != 1) {
      break;
    }
    PumpMessages();
    if (ExitCode() != platform::kStillActive) {
      break;
    }
  }
  ExitCode();
}

void TThreadEx::DoTerminate() {
  // The sync goes also when OnTerminate raised (the exception goes on to the
  // thread's entry).
  struct TReleaseSync {
    std::unique_ptr<TThreadSync>& Sync;
    ~TReleaseSync() { Sync.reset(); }
  } release{FSync};
  if (OnTerminate) {
    FSync->Synchronize([this] { CallOnTerminate(); });
  }
}

void TThreadEx::CallOnTerminate() {
  if (OnTerminate) {
    OnTerminate(*this);
  }
}

}  // namespace pipes
