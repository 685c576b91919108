#pragma once
// Thread support of the Pipes module: running a method on a thread's base
// thread, counting live threads, and the thread class of the pipe threads.
//
// - TThreadSync lets a thread run a method on its base thread (the thread that
//   created the TThreadSync; in this program the main thread) and wait until
//   it has run. An exception raised by the method is carried back and raised
//   again, as the same object, in the calling thread.
// - TSyncManager (one per process) keeps one hidden "ThreadSyncWindow" per base
//   thread, shared by every TThreadSync of that thread. The window is created
//   by the first registration and destroyed when the base thread has processed
//   the release of the last one.
// - TThreadCounter counts live threads; WaitForEmpty keeps serving messages
//   sent to the waiting thread, so ending threads can still run their
//   termination handlers there.
// - TThreadEx is the base class of the listener and worker threads: it runs
//   its OnTerminate on the base thread through its own TThreadSync.
//
// Module life: construct one TPipesModule (or call InitializePipes) before
// anything of the module is used and destroy it (FinalizePipes) after every
// pipe component, thread object, TThreadSync and object window is gone.
//
// Locks: UnitLock guards the singleton reference and the object windows'
// allocator; while it is held, no other lock of this module is taken.
// TSyncManager's own lock guards its list and counts; no lock is held while a
// method runs on the base thread or while a message is sent.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Event.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

namespace pipes {

// Private messages of the synchronisation windows (wParam 0 in both).
constexpr uint32_t WM_SYNC_RELEASE = 0x8FFC;  // posted; lParam: the TSyncInfo
constexpr uint32_t WM_SYNC_EXECUTE = 0x8FFD;  // sent; lParam: the TThreadSync

// A parameterless method, the unit of work run on another thread.
using TThreadMethod = std::function<void()>;

// The module lock (recursive). Also taken by the object windows.
extern std::recursive_mutex UnitLock;

// Module initialisation and finalisation, in this order, on the main thread.
// Finalisation frees the TSyncManager singleton (destroying the windows of its
// remaining entries) and the object windows' remaining memory.
void InitializePipes();
void FinalizePipes();

class TPipesModule {
 public:
  TPipesModule() { InitializePipes(); }
  TPipesModule(const TPipesModule&) = delete;
  TPipesModule& operator=(const TPipesModule&) = delete;
  ~TPipesModule() { FinalizePipes(); }
};

// Dispatches every message queued for the calling thread (sent ones are
// served first), yielding the processor after each.
void PumpMessages();

// Counts live threads. Increment on the creating thread, Decrement on the
// ending thread, WaitForEmpty on the main thread; all of them under the lock.
// The empty event is signalled exactly when the count is 0.
class TThreadCounter {
 public:
  TThreadCounter();
  TThreadCounter(const TThreadCounter&) = delete;
  TThreadCounter& operator=(const TThreadCounter&) = delete;
  ~TThreadCounter() = default;

  void Increment();
  // Never goes below 0.
  void Decrement();
  int32_t Count() const;
  // Returns when the count is 0 (or the wait fails), serving messages sent to
  // (and posted to) the calling thread meanwhile.
  void WaitForEmpty();

  platform::TWaitHandle EmptyHandle() const { return FEmpty.WaitHandle(); }

 private:
  mutable std::recursive_mutex FLock;
  platform::TEvent FEmpty{true};
  int32_t FCount = 0;
};

class TSyncManager;

// The synchronisation state of one base thread. Owned by TSyncManager.
class TSyncInfo {
 public:
  platform::TThreadId SyncBaseTID() const { return FSyncBaseTID; }
  platform::TWindowHandle ThreadWindow() const { return FThreadWindow; }
  int32_t ThreadCount() const { return FThreadCount; }

 private:
  friend class TSyncManager;
  explicit TSyncInfo(platform::TThreadId id) : FSyncBaseTID(id) {}

  platform::TThreadId FSyncBaseTID;
  platform::TWindowHandle FThreadWindow = 0;
  // TThreadSync objects whose release the base thread has not processed yet.
  int32_t FThreadCount = 0;
};

class TThreadSync;

class TSyncManager {
 public:
  // The singleton, created on first use (under UnitLock).
  static TSyncManager& Instance();

  TSyncManager(const TSyncManager&) = delete;
  TSyncManager& operator=(const TSyncManager&) = delete;

  // On the base thread of threadSync. Raises EOSError when the window cannot
  // be made; nothing stays registered then.
  void AddThread(TThreadSync& threadSync);
  // Any thread: posts the release to the base thread's window.
  void RemoveThread(TThreadSync& threadSync);
  // Runs threadSync's method on its base thread and returns after it has run;
  // runs nothing when the base thread has no entry (or its window is gone).
  void Synchronize(TThreadSync& threadSync);

  // The entry of a base thread, or null. The pointer is valid until that
  // thread processes its last release; for inspection on the base thread.
  TSyncInfo* LookupSyncInfo(platform::TThreadId id);
  size_t EntryCount() const;

  static intptr_t SyncWindowProc(void* context,
                                 platform::TWindowHandle window,
                                 uint32_t msg,
                                 uintptr_t wParam,
                                 intptr_t lParam);

 private:
  friend void FinalizePipes();
  TSyncManager() = default;
  ~TSyncManager();

  TSyncInfo* LookupLocked(platform::TThreadId id);
  static platform::TWindowHandle CreateSyncWindow();
  void ReleaseSyncWindow(TSyncInfo* info);
  void DisposeSyncInfo(TSyncInfo* info);

  mutable std::recursive_mutex FThreadLock;
  std::vector<std::unique_ptr<TSyncInfo>> FList;
};

// Created on the thread that is to be the base thread; destroyed on any.
class TThreadSync {
 public:
  TThreadSync();
  TThreadSync(const TThreadSync&) = delete;
  TThreadSync& operator=(const TThreadSync&) = delete;
  ~TThreadSync();

  // Runs method on the base thread (at once when called there) and returns
  // after it has run; re-raises its exception, if any, in this thread. One
  // call at a time per object.
  void Synchronize(TThreadMethod method);

  platform::TThreadId SyncBaseTID() const { return FSyncBaseTID; }

 private:
  friend class TSyncManager;

  std::exception_ptr FSyncRaise;  // captured on the base thread
  TThreadMethod FMethod;
  platform::TThreadId FSyncBaseTID;
};

class TThreadEx;
using TThreadExNotify = std::function<void(TThreadEx& sender)>;

// A thread whose termination handler runs on its base thread (the creating
// thread). Created suspended on the base thread; started by Resume. Derived
// classes supply Execute.
//
// OnTerminate, if assigned, runs on the base thread after Execute while the
// ending thread waits; set it before Resume. Right after it, still in
// DoTerminate, the thread gives up its TThreadSync (its release is posted to
// the base thread), so by the time a derived destructor reports the thread's
// end (a TThreadCounter), the thread no longer touches the sync manager. A
// FreeOnTerminate thread then frees itself on its own thread. An owned thread
// still running when destroyed is terminated and waited for (see
// platform::TThread about derived members).
class TThreadEx : public platform::TThread {
 public:
  TThreadEx();
  ~TThreadEx() override;

  TThreadExNotify OnTerminate;

  // Blocks until the thread has ended. On the base thread it keeps
  // dispatching messages meanwhile; on any other thread it simply waits.
  // Returns at once for a thread that was never started. Not for
  // FreeOnTerminate threads (the object is gone when they end).
  void Wait();

  // The thread's TThreadSync, until the thread has ended (null afterwards).
  TThreadSync* Sync() { return FSync.get(); }
  platform::TThreadId SyncBaseTID() const { return FSyncBaseTID; }

 protected:
  // On the thread itself, from Execute.
  void RunInBaseThread(TThreadMethod method) { FSync->Synchronize(std::move(method)); }
  void DoTerminate() override;

 private:
  void CallOnTerminate();

  std::unique_ptr<TThreadSync> FSync;
  const platform::TThreadId FSyncBaseTID;
};

}  // namespace pipes
