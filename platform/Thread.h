#pragma once
// A thread object: derive, supply Execute, Resume.
//
// Life of a TThread:
// - Constructed suspended: no system thread exists yet, so an object that is
//   destroyed without ever being resumed costs and leaks nothing.
// - Resume starts the system thread (later calls do nothing). On it, Execute
//   runs (skipped when Terminate was called before), then DoTerminate, then the
//   thread's message queue is released (its windows destroyed, senders waiting
//   for it released), then the thread counts as ended: Handle() is signalled
//   and ExitCode() gives ReturnValue instead of kStillActive.
// - If FreeOnTerminate is set when the thread ends, the thread then deletes
//   the object itself, on its own thread; nobody else may touch the object
//   after Resume. Otherwise the creator owns it and its destructor waits for
//   the thread to end. Because the base destructor runs after the derived
//   parts are gone, a derived class whose Execute uses its own members must
//   call Terminate and WaitFor in its own destructor (or never be destroyed
//   while running).
//
// An exception that escapes Execute ends the thread normally and is kept in
// FatalException(); one that escapes DoTerminate is kept there too when it is
// the first. Exceptions never leave the thread's entry.
//
// Thread safety: Terminate, Terminated, Handle, ExitCode, WaitFor, ThreadId and
// SetPriority may be called from any thread; Resume and SetFreeOnTerminate by
// the creator before the thread ends.

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/Event.h"
#include "platform/Messages.h"

namespace platform {

// Exit code of a thread that has not ended yet (also before it started).
constexpr uint32_t kStillActive = 259;

// Priorities relative to the process; on Linux they map to the thread's nice
// value, best effort (raising a priority needs a privilege and may be refused).
enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest };

class TThread {
 public:
  TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Waits for a started thread (after Terminate) unless called on the thread
  // itself; see the header comment for the order with derived destructors.
  virtual ~TThread();

  // Starts the thread. Raises EOSError when the system refuses the thread.
  void Resume();

  void Terminate() { FTerminated.store(true); }
  bool Terminated() const { return FTerminated.load(); }

  bool FreeOnTerminate() const;
  void SetFreeOnTerminate(bool value);

  TThreadPriority Priority() const;
  void SetPriority(TThreadPriority priority);

  // Signalled once the thread has ended; waitable with WaitForMultipleObjects
  // and MsgWaitForMultipleObjects. Valid for the life of the object.
  TWaitHandle Handle() const { return FEnded.WaitHandle(); }
  // kStillActive until the thread has ended, then ReturnValue.
  uint32_t ExitCode() const;
  // Blocks (without serving messages) until the thread has ended; returns its
  // exit code. Must not be called on the thread itself.
  uint32_t WaitFor();

  // The thread's id (GetCurrentThreadId on it); 0 until it has started.
  TThreadId ThreadId() const { return FThreadId.load(); }
  bool Started() const;
  bool Finished() const;

  std::exception_ptr FatalException() const;

 protected:
  virtual void Execute() = 0;
  // Runs on the thread after Execute, also when Execute raised.
  virtual void DoTerminate() {}

  uint32_t ReturnValue() const { return FReturnValue.load(); }
  void SetReturnValue(uint32_t value) { FReturnValue.store(value); }

 private:
  void Run();
  void ApplyPriority();  // FLock held

  mutable std::mutex FLock;
  std::thread FThread;                                    // guarded by FLock
  bool FStarted = false;                                  // guarded by FLock
  bool FFinished = false;                                 // guarded by FLock
  bool FFreeOnTerminate = false;                          // guarded by FLock
  TThreadPriority FPriority = TThreadPriority::tpNormal;  // guarded by FLock
  int FSystemTid = 0;                                     // guarded by FLock; 0 until running
  std::exception_ptr FFatalException;                     // guarded by FLock
  std::atomic<bool> FTerminated{false};
  std::atomic<uint32_t> FReturnValue{0};
  std::atomic<TThreadId> FThreadId{0};
  TEvent FEnded;
};

}  // namespace platform
