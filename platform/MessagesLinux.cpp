#include "platform/Messages.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Error.h"

// How it fits together.
//
// Each thread that touches the API gets a TMessageQueue (created on first use,
// torn down by a thread_local holder when the thread ends). A queue holds the
// posted messages, the sends waiting for the thread, and its timers. Three
// level-style descriptors mirror its state, each maintained under the queue's
// lock: the send event is set while sends wait, the post event while posted
// messages wait, and the timerfd is readable while a timer is due or its
// WM_TIMER is pending (it is re-armed to an instant in the past for that).
// Waits poll exactly the descriptors their wake mask names, so a thread waiting
// for a reply never spins on posted messages it may not take yet.
//
// The window table maps a handle to its owner's queue and procedure. Lock
// order: a queue lock may be held while the table lock is taken (to check,
// atomically with the push, that the window still belongs to that queue), never
// the other way round, and no two queue locks are ever held together. No lock
// is held while a window procedure runs.
//
// A cross-thread send is a TSendRecord queued on the owner. The owner completes
// it under the sender's queue lock and sets the sender's reply event; the
// sender, meanwhile, serves sends made to it, so threads sending to each other
// at the same time make progress.

namespace platform {
namespace {

uint64_t MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Shorter timer intervals would make PumpMessages find a due timer on every
// pass and never return.
constexpr uint32_t kMinTimerIntervalMs = 10;

class TMessageQueue;

enum class TSendState { Waiting, Handled, Failed };

struct TSendRecord {
  TWindowHandle Window = 0;
  uint32_t Message = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  std::shared_ptr<TMessageQueue> Sender;
  // Guarded by the sender's queue lock.
  TSendState State = TSendState::Waiting;
  intptr_t Result = 0;
};
using PSendRecord = std::shared_ptr<TSendRecord>;

struct TTimer {
  TWindowHandle Window = 0;
  uintptr_t Id = 0;
  uint64_t IntervalNs = 0;
  uint64_t DueNs = 0;
  bool Pending = false;  // a WM_TIMER waits to be taken
};

struct TWindowEntry {
  TThreadId Owner = 0;
  std::shared_ptr<TMessageQueue> Queue;
  TWndProc Proc;
};

// Process-wide table of window classes and windows.
class TWindowTable {
 public:
  bool RegisterClass(const std::string& name, TWndProc proc) {
    std::lock_guard lock(FLock);
    return FClasses.emplace(name, proc).second;
  }
  bool ClassInfo(const std::string& name, TWndProc* proc) {
    std::lock_guard lock(FLock);
    const auto it = FClasses.find(name);
    if (it == FClasses.end()) {
      return false;
    }
    if (proc) {
      *proc = it->second;
    }
    return true;
  }
  bool UnregisterClass(const std::string& name) {
    std::lock_guard lock(FLock);
    return FClasses.erase(name) != 0;
  }

  // 0 when the class does not exist.
  TWindowHandle Add(const std::string& className,
                    TThreadId owner,
                    std::shared_ptr<TMessageQueue> queue) {
    std::lock_guard lock(FLock);
    const auto cls = FClasses.find(className);
    if (cls == FClasses.end()) {
      return 0;
    }
    // Handles count up and wrap, skipping 0 and live ones, so a destroyed
    // window's handle comes back only after four billion others.
    TWindowHandle handle = 0;
    do {
      handle = FNextHandle++;
    } while (handle == 0 || FWindows.contains(handle));
    FWindows.emplace(handle, TWindowEntry{owner, std::move(queue), cls->second});
    return handle;
  }

  bool Remove(TWindowHandle window, TThreadId owner) {
    std::shared_ptr<TMessageQueue> keep;  // released after the lock
    std::lock_guard lock(FLock);
    const auto it = FWindows.find(window);
    if (it == FWindows.end() || it->second.Owner != owner) {
      return false;
    }
    keep = std::move(it->second.Queue);
    FWindows.erase(it);
    return true;
  }

  void RemoveAllOf(TThreadId owner) {
    std::vector<std::shared_ptr<TMessageQueue>> keep;
    std::lock_guard lock(FLock);
    for (auto it = FWindows.begin(); it != FWindows.end();) {
      if (it->second.Owner == owner) {
        keep.push_back(std::move(it->second.Queue));
        it = FWindows.erase(it);
      } else {
        ++it;
      }
    }
  }

  bool Find(TWindowHandle window, TWindowEntry* entry) {
    std::lock_guard lock(FLock);
    const auto it = FWindows.find(window);
    if (it == FWindows.end()) {
      return false;
    }
    if (entry) {
      *entry = it->second;
    }
    return true;
  }

  bool IsOwnedBy(TWindowHandle window, TThreadId owner) {
    std::lock_guard lock(FLock);
    const auto it = FWindows.find(window);
    return it != FWindows.end() && it->second.Owner == owner;
  }

  // The procedure of a window owned by owner.
  bool ProcOf(TWindowHandle window, TThreadId owner, TWndProc* proc) {
    std::lock_guard lock(FLock);
    const auto it = FWindows.find(window);
    if (it == FWindows.end() || it->second.Owner != owner) {
      return false;
    }
    *proc = it->second.Proc;
    return true;
  }

  bool SetProc(TWindowHandle window, TThreadId owner, TWndProc proc, TWndProc* previous) {
    std::lock_guard lock(FLock);
    const auto it = FWindows.find(window);
    if (it == FWindows.end() || it->second.Owner != owner) {
      return false;
    }
    *previous = std::exchange(it->second.Proc, proc);
    return true;
  }

 private:
  std::mutex FLock;
  std::unordered_map<std::string, TWndProc> FClasses;
  std::unordered_map<TWindowHandle, TWindowEntry> FWindows;
  TWindowHandle FNextHandle = 0x100;
};

// Never destroyed: threads may still end (and tear down their queues) while
// static objects are being destroyed at exit.
TWindowTable& Table() {
  static TWindowTable* const table = new TWindowTable;
  return *table;
}

// An event that skips the system call when it is already in the wanted state.
// Changed only under its queue's lock.
class TLevel {
 public:
  void Raise() {
    if (!FRaised) {
      FEvent.Set();
      FRaised = true;
    }
  }
  void Lower() {
    if (FRaised) {
      FEvent.Reset();
      FRaised = false;
    }
  }
  void Update(bool raised) { raised ? Raise() : Lower(); }
  TWaitHandle WaitHandle() const { return FEvent.WaitHandle(); }

 private:
  TEvent FEvent;
  bool FRaised = false;
};

class TMessageQueue {
 public:
  explicit TMessageQueue(TThreadId owner) : FOwner(owner) {
    FTimerFd.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!FTimerFd) {
      RaiseLastOSError("timerfd_create");
    }
  }
  TMessageQueue(const TMessageQueue&) = delete;
  TMessageQueue& operator=(const TMessageQueue&) = delete;

  TThreadId Owner() const { return FOwner; }
  TWaitHandle SendHandle() const { return FSendLevel.WaitHandle(); }
  TWaitHandle PostHandle() const { return FPostLevel.WaitHandle(); }
  TWaitHandle ReplyHandle() const { return FReplyLevel.WaitHandle(); }
  TWaitHandle TimerHandle() const { return {FTimerFd.Get(), 0x001}; }

  // Any thread. The window is checked under the queue lock, so a window
  // destroyed (or a thread ended) before the push leaves nothing behind, and
  // one destroyed after it finds the record when it purges.
  bool PushSend(PSendRecord record) {
    std::lock_guard lock(FLock);
    if (FClosed || !Table().IsOwnedBy(record->Window, FOwner)) {
      return false;
    }
    FSends.push_back(std::move(record));
    FSendLevel.Raise();
    return true;
  }

  bool PushPost(const TMsg& msg) {
    std::lock_guard lock(FLock);
    if (FClosed || !Table().IsOwnedBy(msg.Window, FOwner)) {
      return false;
    }
    FPosted.push_back(msg);
    FPostLevel.Raise();
    return true;
  }

  // Owner thread from here on, except Complete/Answered (see there).
  PSendRecord PopSend() {
    std::lock_guard lock(FLock);
    if (FSends.empty()) {
      return nullptr;
    }
    PSendRecord record = std::move(FSends.front());
    FSends.pop_front();
    FSendLevel.Update(!FSends.empty());
    return record;
  }

  bool TakePosted(TMsg* msg, bool remove) {
    std::lock_guard lock(FLock);
    if (FPosted.empty()) {
      return false;
    }
    *msg = FPosted.front();
    if (remove) {
      FPosted.pop_front();
      FPostLevel.Update(!FPosted.empty());
    }
    return true;
  }

  bool TakeTimer(TMsg* msg, bool remove) {
    std::lock_guard lock(FLock);
    const uint64_t now = MonotonicNs();
    for (TTimer& timer : FTimers) {
      if (!timer.Pending && timer.DueNs <= now) {
        timer.Pending = true;
        timer.DueNs = now + timer.IntervalNs;
      }
    }
    const auto it = std::find_if(FTimers.begin(), FTimers.end(),
                                 [](const TTimer& timer) { return timer.Pending; });
    bool found = false;
    if (it != FTimers.end()) {
      *msg = TMsg{it->Window, WM_TIMER, it->Id, 0};
      found = true;
      if (remove) {
        // Taken timers go to the back, so several due timers take turns.
        TTimer taken = *it;
        taken.Pending = false;
        FTimers.erase(it);
        FTimers.push_back(taken);
      }
    }
    ArmTimerFd();
    return found;
  }

  void SetTimer(TWindowHandle window, uintptr_t id, uint32_t intervalMs) {
    const uint64_t intervalNs =
        static_cast<uint64_t>(std::max(intervalMs, kMinTimerIntervalMs)) * 1000000u;
    std::lock_guard lock(FLock);
    const TTimer timer{window, id, intervalNs, MonotonicNs() + intervalNs, false};
    const auto it = FindTimer(window, id);
    if (it != FTimers.end()) {
      *it = timer;
    } else {
      FTimers.push_back(timer);
    }
    ArmTimerFd();
  }

  bool KillTimer(TWindowHandle window, uintptr_t id) {
    std::lock_guard lock(FLock);
    const auto it = FindTimer(window, id);
    if (it == FTimers.end()) {
      return false;
    }
    FTimers.erase(it);
    ArmTimerFd();
    return true;
  }

  // Drops the posted messages and timers of a destroyed window and hands back
  // the sends still waiting for it, to be failed without the lock.
  std::vector<PSendRecord> Purge(TWindowHandle window) {
    std::vector<PSendRecord> orphans;
    std::lock_guard lock(FLock);
    std::erase_if(FPosted, [window](const TMsg& msg) { return msg.Window == window; });
    std::erase_if(FTimers, [window](const TTimer& timer) { return timer.Window == window; });
    for (auto it = FSends.begin(); it != FSends.end();) {
      if ((*it)->Window == window) {
        orphans.push_back(std::move(*it));
        it = FSends.erase(it);
      } else {
        ++it;
      }
    }
    FSendLevel.Update(!FSends.empty());
    FPostLevel.Update(!FPosted.empty());
    ArmTimerFd();
    return orphans;
  }

  // The thread is ending: refuse everything from now on and hand back the
  // sends that will never be served.
  std::vector<PSendRecord> Close() {
    std::vector<PSendRecord> orphans;
    std::lock_guard lock(FLock);
    FClosed = true;
    orphans.assign(std::make_move_iterator(FSends.begin()), std::make_move_iterator(FSends.end()));
    FSends.clear();
    FPosted.clear();
    FTimers.clear();
    FSendLevel.Lower();
    FPostLevel.Lower();
    ArmTimerFd();
    return orphans;
  }

  // The descriptor a toolkit loop watches: an epoll set holding the send and
  // post events and the timerfd, readable while any of them is.
  int WakeFd() {
    std::lock_guard lock(FLock);
    if (!FEpollFd) {
      TScopedFd epoll(::epoll_create1(EPOLL_CLOEXEC));
      if (!epoll) {
        RaiseLastOSError("epoll_create1");
      }
      for (const TWaitHandle handle : {SendHandle(), PostHandle(), TimerHandle()}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = handle.Fd;
        if (::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, handle.Fd, &event) != 0) {
          RaiseLastOSError("epoll_ctl");
        }
      }
      FEpollFd = std::move(epoll);
    }
    return FEpollFd.Get();
  }

  // Called by the thread that handled (or gave up) a send on the record's
  // sender queue.
  void Complete(TSendRecord& record, TSendState state, intptr_t result) {
    std::lock_guard lock(FLock);
    record.State = state;
    record.Result = result;
    FReplyLevel.Raise();
  }

  // Sender thread: whether its record is answered. When it is not, the reply
  // event is lowered under the same lock that Complete raises it under, so no
  // answer is missed. (An outer send answered while a nested one waits only
  // wakes the inner wait once; the outer loop reads the state itself.)
  bool Answered(const TSendRecord& record, TSendState* state, intptr_t* result) {
    std::lock_guard lock(FLock);
    if (record.State == TSendState::Waiting) {
      FReplyLevel.Lower();
      return false;
    }
    *state = record.State;
    *result = record.Result;
    return true;
  }

 private:
  std::vector<TTimer>::iterator FindTimer(TWindowHandle window, uintptr_t id) {
    return std::find_if(FTimers.begin(), FTimers.end(), [&](const TTimer& timer) {
      return timer.Window == window && timer.Id == id;
    });
  }

  // Lock held. Readable at once while a WM_TIMER is pending, else at the
  // earliest due time, else never. Re-arming also clears an old expiry.
  // The system call is skipped when the wanted instant is the one already set
  // (every peek of a thread without timers would otherwise pay for it); an
  // instant that has passed meanwhile left the descriptor readable, as a new
  // arming would.
  void ArmTimerFd() {
    bool pending = false;
    uint64_t earliest = UINT64_MAX;
    for (const TTimer& timer : FTimers) {
      pending = pending || timer.Pending;
      earliest = std::min(earliest, timer.DueNs);
    }
    uint64_t target = 0;  // disarmed
    if (pending) {
      target = 1;  // an absolute instant long past
    } else if (earliest != UINT64_MAX) {
      target = std::max<uint64_t>(earliest, 1);
    }
    if (target == FArmedAt) {
      return;
    }
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(target / 1000000000u);
    setting.it_value.tv_nsec = static_cast<long>(target % 1000000000u);
    ::timerfd_settime(FTimerFd.Get(), TFD_TIMER_ABSTIME, &setting, nullptr);
    FArmedAt = target;
  }

  const TThreadId FOwner;
  std::mutex FLock;
  bool FClosed = false;
  std::deque<TMsg> FPosted;
  std::deque<PSendRecord> FSends;
  std::vector<TTimer> FTimers;
  TLevel FSendLevel;
  TLevel FPostLevel;
  TLevel FReplyLevel;
  TScopedFd FTimerFd;
  uint64_t FArmedAt = 0;  // the instant FTimerFd is armed for; 0: disarmed
  TScopedFd FEpollFd;
};

void CompleteSend(TSendRecord& record, TSendState state, intptr_t result) {
  record.Sender->Complete(record, state, result);
}

// Owns the calling thread's queue; its destructor runs when the thread ends.
class TThreadQueue {
 public:
  TThreadQueue() = default;
  TThreadQueue(const TThreadQueue&) = delete;
  TThreadQueue& operator=(const TThreadQueue&) = delete;

  ~TThreadQueue() { Release(); }

  void Release() {
    if (!FQueue) {
      return;
    }
    // Close first so that nothing new is queued, then take the windows out of
    // the table, then release every sender still waiting for this thread.
    std::vector<PSendRecord> orphans = FQueue->Close();
    Table().RemoveAllOf(FQueue->Owner());
    for (const PSendRecord& record : orphans) {
      CompleteSend(*record, TSendState::Failed, 0);
    }
    FQueue.reset();
  }

  const std::shared_ptr<TMessageQueue>& Get() {
    if (!FQueue) {
      FQueue = std::make_shared<TMessageQueue>(GetCurrentThreadId());
    }
    return FQueue;
  }

 private:
  std::shared_ptr<TMessageQueue> FQueue;
};

thread_local TThreadQueue tThreadQueue;
thread_local bool tInSendMessage = false;

TMessageQueue& CurrentQueue() {
  return *tThreadQueue.Get();
}

class TInSendScope {
 public:
  explicit TInSendScope(bool inSend) : FSaved(std::exchange(tInSendMessage, inSend)) {}
  TInSendScope(const TInSendScope&) = delete;
  TInSendScope& operator=(const TInSendScope&) = delete;
  ~TInSendScope() { tInSendMessage = FSaved; }

 private:
  bool FSaved;
};

// Runs every send waiting for the calling thread. A procedure that raises
// releases its sender with failure; the exception then goes on in this thread:
// at once, or, with deferred, after the caller's own wait is over (only the
// first one is kept).
void ServeSends(TMessageQueue& queue, std::exception_ptr* deferred) {
  while (PSendRecord record = queue.PopSend()) {
    TWndProc proc;
    if (!Table().ProcOf(record->Window, queue.Owner(), &proc)) {
      CompleteSend(*record, TSendState::Failed, 0);
      continue;
    }
    intptr_t result = 0;
    try {
      TInSendScope scope(true);
      result =
          proc.Fn(proc.Context, record->Window, record->Message, record->WParam, record->LParam);
    } catch (...) {
      CompleteSend(*record, TSendState::Failed, 0);
      if (!deferred) {
        throw;
      }
      if (!*deferred) {
        *deferred = std::current_exception();
      }
      continue;
    }
    CompleteSend(*record, TSendState::Handled, result);
  }
}

}  // namespace

TThreadId GetCurrentThreadId() {
  static std::atomic<TThreadId> next{1};
  thread_local const TThreadId id = [] {
    TThreadId value = 0;
    while (value == 0) {
      value = next.fetch_add(1, std::memory_order_relaxed);
    }
    return value;
  }();
  return id;
}

intptr_t DefWindowProc(void*, TWindowHandle, uint32_t, uintptr_t, intptr_t) {
  return 0;
}

bool RegisterWindowClass(const std::string& className, TWndProc proc) {
  return Table().RegisterClass(className, proc);
}

bool GetWindowClassInfo(const std::string& className, TWndProc* proc) {
  return Table().ClassInfo(className, proc);
}

bool UnregisterWindowClass(const std::string& className) {
  return Table().UnregisterClass(className);
}

TWindowHandle CreateWindow(const std::string& className) {
  const std::shared_ptr<TMessageQueue>& queue = tThreadQueue.Get();
  const TWindowHandle window = Table().Add(className, queue->Owner(), queue);
  if (window == 0) {
    throw EOSError(ENOENT, "Window class \"" + className + "\" is not registered");
  }
  return window;
}

bool DestroyWindow(TWindowHandle window) {
  const TThreadId self = GetCurrentThreadId();
  if (!Table().Remove(window, self)) {
    return false;
  }
  for (const PSendRecord& record : CurrentQueue().Purge(window)) {
    CompleteSend(*record, TSendState::Failed, 0);
  }
  return true;
}

bool IsWindow(TWindowHandle window) {
  return Table().Find(window, nullptr);
}

TThreadId GetWindowThreadId(TWindowHandle window) {
  TWindowEntry entry;
  return Table().Find(window, &entry) ? entry.Owner : 0;
}

TWndProc SetWindowProc(TWindowHandle window, TWndProc proc) {
  TWndProc previous;
  return Table().SetProc(window, GetCurrentThreadId(), proc, &previous) ? previous : TWndProc{};
}

TWndProc GetWindowProc(TWindowHandle window) {
  TWindowEntry entry;
  return Table().Find(window, &entry) ? entry.Proc : TWndProc{};
}

bool SendMessage(TWindowHandle window,
                 uint32_t msg,
                 uintptr_t wParam,
                 intptr_t lParam,
                 intptr_t* result) {
  intptr_t ignored = 0;
  if (!result) {
    result = &ignored;
  }
  *result = 0;
  TWindowEntry entry;
  if (!Table().Find(window, &entry)) {
    return false;
  }
  if (entry.Owner == GetCurrentThreadId()) {
    *result = entry.Proc.Fn(entry.Proc.Context, window, msg, wParam, lParam);
    return true;
  }

  const std::shared_ptr<TMessageQueue>& self = tThreadQueue.Get();
  auto record = std::make_shared<TSendRecord>();
  record->Window = window;
  record->Message = msg;
  record->WParam = wParam;
  record->LParam = lParam;
  record->Sender = self;
  if (!entry.Queue->PushSend(record)) {
    return false;
  }
  entry = {};  // do not keep the owner's queue alive while waiting

  std::exception_ptr deferred;
  TSendState state = TSendState::Failed;
  for (;;) {
    ServeSends(*self, &deferred);
    if (self->Answered(*record, &state, result)) {
      break;
    }
    const TWaitHandle handles[] = {self->SendHandle(), self->ReplyHandle()};
    if (WaitForMultipleObjects(handles, kInfinite) == kWaitFailed) {
      // Cannot happen with our own descriptors; give up rather than spin. The
      // record stays valid for the owner through its shared ownership.
      state = TSendState::Failed;
      *result = 0;
      break;
    }
  }
  if (deferred) {
    std::rethrow_exception(deferred);
  }
  return state == TSendState::Handled;
}

bool PostMessage(TWindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  TWindowEntry entry;
  if (!Table().Find(window, &entry)) {
    return false;
  }
  return entry.Queue->PushPost(TMsg{window, msg, wParam, lParam});
}

bool InSendMessage() {
  return tInSendMessage;
}

bool PeekMessage(TMsg* msg, bool remove) {
  TMessageQueue& queue = CurrentQueue();
  ServeSends(queue, nullptr);
  return queue.TakePosted(msg, remove) || queue.TakeTimer(msg, remove);
}

intptr_t DispatchMessage(const TMsg& msg) {
  TWndProc proc;
  if (!Table().ProcOf(msg.Window, GetCurrentThreadId(), &proc)) {
    return 0;
  }
  TInSendScope scope(false);
  return proc.Fn(proc.Context, msg.Window, msg.Message, msg.WParam, msg.LParam);
}

void PumpMessages() {
  TMsg msg;
  while (PeekMessage(&msg, true)) {
    DispatchMessage(msg);
  }
}

uint32_t MsgWaitForMultipleObjects(std::span<const TWaitHandle> handles,
                                   uint32_t timeoutMs,
                                   uint32_t wakeMask) {
  TMessageQueue& queue = CurrentQueue();
  std::vector<TWaitHandle> all(handles.begin(), handles.end());
  if (wakeMask & QS_SENDMESSAGE) {
    all.push_back(queue.SendHandle());
  }
  if (wakeMask & QS_POSTMESSAGE) {
    all.push_back(queue.PostHandle());
  }
  if (wakeMask & QS_TIMER) {
    all.push_back(queue.TimerHandle());
  }
  const uint32_t result = WaitForMultipleObjects(all, timeoutMs);
  if (result == kWaitTimeout || result == kWaitFailed) {
    return result;
  }
  return std::min<uint32_t>(result, static_cast<uint32_t>(handles.size()));
}

bool SetTimer(TWindowHandle window, uintptr_t id, uint32_t intervalMs) {
  if (!Table().IsOwnedBy(window, GetCurrentThreadId())) {
    return false;
  }
  CurrentQueue().SetTimer(window, id, intervalMs);
  return true;
}

bool KillTimer(TWindowHandle window, uintptr_t id) {
  if (!Table().IsOwnedBy(window, GetCurrentThreadId())) {
    return false;
  }
  return CurrentQueue().KillTimer(window, id);
}

void ReleaseMessageQueue() {
  tThreadQueue.Release();
}

int MessageQueueWakeFd() {
  return CurrentQueue().WakeFd();
}

}  // namespace platform
