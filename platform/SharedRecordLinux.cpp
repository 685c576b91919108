#include "platform/SharedRecord.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "platform/Error.h"

// The record is a POSIX shared-memory object. Two open-file-description locks
// on it do all the bookkeeping, so nothing depends on a process exiting
// cleanly:
// - byte 0, write lock: the record's lock; openers and closers take it, so
//   "is anyone holding it?", creation, zeroing and removal happen one at a time;
// - byte 1, read lock: held by every holder for as long as it has the record
//   open. "Does another holder exist?" is a test for a conflicting write lock.
// The kernel drops both locks when the last descriptor of the description
// closes, which includes the death of the process.
//
// Trap: between shm_open and taking the lock, the last holder may remove the
// name, and a later opener may create a new object under it. An opener that
// got the old object would then believe it is alone. So after taking the lock
// the opener checks that the name still leads to the object it holds, and
// starts again if not. A closer removes the name only while holding the lock
// of the object the name leads to, so the check cannot go stale.

namespace platform {

namespace {

constexpr off_t kLockByte = 0;
constexpr off_t kHolderByte = 1;

// Sets or clears an open-file-description lock on one byte. Waits for a
// conflicting lock to go when wait is true.
int SetByteLock(int fd, short type, off_t byte, bool wait) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  int rc;
  do {
    rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// True when a description other than fd's holds the record open. On a failed
// test it answers true, which keeps the record (a kept record with no holder
// is zeroed by the next open, so this errs on the safe side).
bool OtherHolderPresent(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kHolderByte;
  lock.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) {
    return true;
  }
  return lock.l_type != F_UNLCK;
}

// Whether the name still leads to the object open in fd. Raises on errors
// other than the name being gone.
bool NameLeadsTo(const std::string& name, int fd) {
  struct stat held = {};
  if (::fstat(fd, &held) != 0) {
    RaiseLastOSError("fstat shared record");
  }
  TScopedFd again(::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0));
  if (!again) {
    if (errno == ENOENT) {
      return false;
    }
    RaiseLastOSError("shm_open shared record");
  }
  struct stat named = {};
  if (::fstat(again.Get(), &named) != 0) {
    RaiseLastOSError("fstat shared record");
  }
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

TSharedRecord::TLock::TLock(TLock&& other) noexcept
    : FRecord(std::exchange(other.FRecord, nullptr)) {}

TSharedRecord::TLock& TSharedRecord::TLock::operator=(TLock&& other) noexcept {
  if (this != &other) {
    Unlock();
    FRecord = std::exchange(other.FRecord, nullptr);
  }
  return *this;
}

void TSharedRecord::TLock::Unlock() {
  if (FRecord != nullptr) {
    std::exchange(FRecord, nullptr)->UnlockRange();
  }
}

std::string TSharedRecord::NameForKey(std::string_view key) {
  // FNV-1a: stable across runs and builds, unlike std::hash.
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : key) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return "/qn." + std::to_string(::geteuid()) + "." + text;
}

TSharedRecord::TSharedRecord(TSharedRecord&& other) noexcept
    : FFd(std::move(other.FFd)),
      FName(std::move(other.FName)),
      FView(std::exchange(other.FView, nullptr)),
      FSize(std::exchange(other.FSize, 0)),
      FAlreadyExists(std::exchange(other.FAlreadyExists, false)),
      FLocked(std::exchange(other.FLocked, false)) {}

TSharedRecord& TSharedRecord::operator=(TSharedRecord&& other) noexcept {
  if (this != &other) {
    Close();
    FFd = std::move(other.FFd);
    FName = std::move(other.FName);
    FView = std::exchange(other.FView, nullptr);
    FSize = std::exchange(other.FSize, 0);
    FAlreadyExists = std::exchange(other.FAlreadyExists, false);
    FLocked = std::exchange(other.FLocked, false);
  }
  return *this;
}

TSharedRecord::TLock TSharedRecord::Open(std::string_view key, size_t size) {
  if (IsOpen()) {
    throw std::logic_error("TSharedRecord::Open on an open record");
  }
  if (size == 0) {
    throw std::invalid_argument("TSharedRecord::Open with size 0");
  }
  std::string name = NameForKey(key);
  for (;;) {
    TScopedFd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) {
      RaiseLastOSError("shm_open shared record");
    }
    // The lock goes with fd when it closes, on every path out of here.
    if (SetByteLock(fd.Get(), F_WRLCK, kLockByte, true) != 0) {
      RaiseLastOSError("lock shared record");
    }
    struct stat st = {};
    if (::fstat(fd.Get(), &st) != 0) {
      RaiseLastOSError("fstat shared record");
    }
    if (st.st_uid != ::geteuid()) {
      throw EOSError(EACCES, "System Error.  Code: " + std::to_string(EACCES) +
                                 ".\nShared record " + name + " belongs to another user");
    }
    if (!NameLeadsTo(name, fd.Get())) {
      continue;
    }

    const bool othersHold = OtherHolderPresent(fd.Get());
    // Without a live holder the record is new, or stale from a holder that
    // died: either way it starts from zero.
    auto abandon = [&](const char* operation) {
      const int code = errno;
      if (!othersHold) {
        ::shm_unlink(name.c_str());
      }
      errno = code;
      RaiseLastOSError(operation);
    };
    if (!othersHold && ::ftruncate(fd.Get(), 0) != 0) {
      abandon("ftruncate shared record");
    }
    if ((!othersHold || static_cast<size_t>(st.st_size) < size) &&
        ::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) {
      abandon("ftruncate shared record");
    }
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
    if (view == MAP_FAILED) {
      abandon("mmap shared record");
    }
    if (SetByteLock(fd.Get(), F_RDLCK, kHolderByte, false) != 0) {
      const int code = errno;
      ::munmap(view, size);
      errno = code;
      abandon("lock shared record");
    }

    FFd = std::move(fd);
    FName = std::move(name);
    FView = view;
    FSize = size;
    FAlreadyExists = othersHold;
    FLocked = true;
    return TLock(this);
  }
}

TSharedRecord::TLock TSharedRecord::Lock() {
  if (!IsOpen() || FLocked) {
    throw std::logic_error("TSharedRecord::Lock on a closed or locked record");
  }
  LockRange();
  return TLock(this);
}

void TSharedRecord::LockRange() {
  if (SetByteLock(FFd.Get(), F_WRLCK, kLockByte, true) != 0) {
    RaiseLastOSError("lock shared record");
  }
  FLocked = true;
}

void TSharedRecord::UnlockRange() {
  if (FLocked && FFd) {
    SetByteLock(FFd.Get(), F_UNLCK, kLockByte, false);
  }
  FLocked = false;
}

void TSharedRecord::Close() {
  if (!IsOpen()) {
    return;
  }
  // Removing the name is decided under the lock. If the lock cannot be taken
  // the name stays: the next opener finds no holder and zeroes it.
  const bool locked = FLocked || SetByteLock(FFd.Get(), F_WRLCK, kLockByte, true) == 0;
  ::munmap(FView, FSize);
  SetByteLock(FFd.Get(), F_UNLCK, kHolderByte, false);
  if (locked && !OtherHolderPresent(FFd.Get())) {
    ::shm_unlink(FName.c_str());
  }
  FFd.Close();
  FName.clear();
  FView = nullptr;
  FSize = 0;
  FAlreadyExists = false;
  FLocked = false;
}

}  // namespace platform
