#pragma once
// A small named record of shared memory, one per key and user.
//
// Every process (and every TSharedRecord object) that opens the record for the
// same key and user sees the same bytes. The record is zero-filled when it is
// created, and it lives while at least one TSharedRecord holds it open: the
// last holder to close it removes it, so the next open creates it afresh.
// A holder that dies without closing (killed, crashed) stops counting as a
// holder at once, because the kernel drops its locks with its descriptors;
// a record left behind with no live holder is zeroed by the next open, which
// then reports that the record did not exist.
//
// Opening and every later change that must be atomic across processes take
// the record's lock (TLock). Open returns with the lock held, so a creator can
// fill the record before any other opener looks at it; two simultaneous opens
// are therefore ordered, and exactly one of them reports "did not exist".
//
// The record is private to the user: a record of the same name that belongs
// to another user is refused (EOSError with EACCES).
//
// Thread safety: one TSharedRecord object is used by one thread at a time.
// Different objects, in one process or in several, exclude each other through
// the lock. The object must outlive, and must not be moved during, every TLock
// taken on it.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/Handle.h"

namespace platform {

class TSharedRecord {
 public:
  // Holds the record's lock from construction to destruction (or Unlock).
  class [[nodiscard]] TLock {
   public:
    TLock() = default;
    TLock(TLock&& other) noexcept;
    TLock& operator=(TLock&& other) noexcept;
    TLock(const TLock&) = delete;
    TLock& operator=(const TLock&) = delete;
    ~TLock() { Unlock(); }

    bool Owns() const { return FRecord != nullptr; }
    void Unlock();

   private:
    friend class TSharedRecord;
    explicit TLock(TSharedRecord* record) : FRecord(record) {}
    TSharedRecord* FRecord = nullptr;
  };

  // The shared-memory name of the record for key and the calling user:
  // "/qn.<uid>.<hash of key>", a valid name whatever characters key holds.
  static std::string NameForKey(std::string_view key);

  TSharedRecord() = default;
  TSharedRecord(TSharedRecord&& other) noexcept;
  TSharedRecord& operator=(TSharedRecord&& other) noexcept;
  TSharedRecord(const TSharedRecord&) = delete;
  TSharedRecord& operator=(const TSharedRecord&) = delete;
  ~TSharedRecord() { Close(); }

  // Opens the record for key, creating it (zero-filled, size bytes) when no
  // live holder has it, and maps size bytes of it. Returns with the lock held.
  // Raises EOSError when the record cannot be created, opened or mapped (then
  // nothing is left open). The object must be closed before it is reopened.
  TLock Open(std::string_view key, size_t size);

  // Takes the lock, waiting while another holder has it.
  TLock Lock();

  // Releases the record (and the lock, if this object holds it); the last
  // holder removes it. Idempotent.
  void Close();

  bool IsOpen() const { return FFd.IsValid(); }
  // True when another live holder had the record open when Open ran.
  bool AlreadyExists() const { return FAlreadyExists; }
  std::span<std::byte> Data() const { return {static_cast<std::byte*>(FView), FSize}; }
  const std::string& Name() const { return FName; }

 private:
  void LockRange();
  void UnlockRange();

  TScopedFd FFd;
  std::string FName;
  void* FView = nullptr;
  size_t FSize = 0;
  bool FAlreadyExists = false;
  bool FLocked = false;
};

}  // namespace platform
