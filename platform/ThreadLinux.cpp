#include "platform/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/Error.h"

namespace platform {
namespace {

// Nice offsets from the process's own value. Linux keeps a nice value per
// thread, so setpriority on the thread id changes this thread only.
int NiceOffset(TThreadPriority priority) {
  switch (priority) {
    case TThreadPriority::tpIdle:
      return 19;
    case TThreadPriority::tpLowest:
      return 10;
    case TThreadPriority::tpLower:
      return 5;
    case TThreadPriority::tpNormal:
      return 0;
    case TThreadPriority::tpHigher:
      return -5;
    case TThreadPriority::tpHighest:
      return -10;
  }
  return 0;
}

}  // namespace

TThread::TThread() = default;

TThread::~TThread() {
  std::thread thread;
  {
    std::lock_guard lock(FLock);
    thread = std::move(FThread);
  }
  if (!thread.joinable()) {
    return;  // never started, or freeing itself
  }
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // an owned thread deleted by its own code
    return;
  }
  Terminate();
  thread.join();
}

void TThread::Resume() {
  std::lock_guard lock(FLock);
  if (FStarted) {
    return;
  }
  try {
    // The new thread's first step takes FLock, so FThread is assigned before
    // the thread can look at it.
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error& error) {
    errno = error.code().value();
    RaiseLastOSError("pthread_create");
  }
  FStarted = true;
}

bool TThread::FreeOnTerminate() const {
  std::lock_guard lock(FLock);
  return FFreeOnTerminate;
}

void TThread::SetFreeOnTerminate(bool value) {
  std::lock_guard lock(FLock);
  FFreeOnTerminate = value;
}

TThreadPriority TThread::Priority() const {
  std::lock_guard lock(FLock);
  return FPriority;
}

void TThread::SetPriority(TThreadPriority priority) {
  std::lock_guard lock(FLock);
  FPriority = priority;
  ApplyPriority();
}

void TThread::ApplyPriority() {
  if (FSystemTid == 0) {
    return;  // applied by the thread when it starts
  }
  errno = 0;
  const int processNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
  const int base = errno == 0 ? processNice : 0;
  const int nice = std::clamp(base + NiceOffset(FPriority), -20, 19);
  // Best effort: lowering the nice value again needs a privilege.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(FSystemTid), nice);
}

uint32_t TThread::ExitCode() const {
  std::lock_guard lock(FLock);
  return FFinished ? FReturnValue.load() : kStillActive;
}

uint32_t TThread::WaitFor() {
  if (!Started()) {
    return kStillActive;  // would never end
  }
  FEnded.Wait(kInfinite);
  return ExitCode();
}

bool TThread::Started() const {
  std::lock_guard lock(FLock);
  return FStarted;
}

bool TThread::Finished() const {
  std::lock_guard lock(FLock);
  return FFinished;
}

std::exception_ptr TThread::FatalException() const {
  std::lock_guard lock(FLock);
  return FFatalException;
}

void TThread::Run() {
  {
    std::lock_guard lock(FLock);
    FSystemTid = static_cast<int>(::gettid());
    ApplyPriority();
  }
  FThreadId.store(GetCurrentThreadId());

  std::exception_ptr fatal;
  if (!Terminated()) {
    try {
      Execute();
    } catch (...) {
      fatal = std::current_exception();
    }
  }
  try {
    DoTerminate();
  } catch (...) {
    if (!fatal) {
      fatal = std::current_exception();
    }
  }
  try {
    ReleaseMessageQueue();
  } catch (...) {
    // Releasing allocates nothing that could fail in practice; never let it
    // keep the thread from ending.
  }

  bool freeSelf = false;
  {
    std::lock_guard lock(FLock);
    FFatalException = std::move(fatal);
    FFinished = true;
    FSystemTid = 0;
    freeSelf = FFreeOnTerminate;
    if (freeSelf) {
      FThread.detach();
    }
  }
  if (freeSelf) {
    delete this;
    return;
  }
  // Nothing of the object may be touched after this: a waiter may delete it
  // (its destructor then joins this thread).
  FEnded.Set();
}

}  // namespace platform
