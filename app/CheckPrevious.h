#pragma once
// CheckPrevious: the single-instance guard.
//
// Only one copy of the server may own the instruments and the pipe name, so
// the copies started from one program file by one user share a record,
// TInstanceRecord, named after the program file's path. The first copy
// registers its application window there; a later copy finds the allowed
// number of instances registered, asks the recorded window to come to the
// front, and ends. A copy stored under another path has a record of its own.
//
// The record lives while any copy holds it. When the last holder goes, also by
// being killed, the next start is a first start again. Every look at the
// record and every change of it happens under the record's lock, so copies
// started at the same moment are taken one after the other and only as many
// as allowed run.
//
// Thread safety: everything here runs on the main thread, before the program
// starts other threads (the check) or after they have ended (finalisation).
// Distinct TInstanceGuard objects may be used on distinct threads.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "app/AppWindow.h"
#include "platform/SharedRecord.h"

namespace app {

// The shared record. Little-endian, 12 bytes, encoded explicitly.
struct TInstanceRecord {
  uint32_t MainWindow = 0;    // application window of the instance that registered last
  int32_t InstanceCount = 0;  // registered instances
  uint32_t Reserved = 0;      // always zero

  bool operator==(const TInstanceRecord&) const = default;
};
constexpr size_t kInstanceRecordSize = 12;
static_assert(sizeof(TInstanceRecord) == kInstanceRecordSize);

TInstanceRecord LoadInstanceRecord(std::span<const std::byte, kInstanceRecordSize> bytes);
void StoreInstanceRecord(const TInstanceRecord& record,
                         std::span<std::byte, kInstanceRecordSize> bytes);

// The full path of the running program file, as the system reports it.
std::string ProgramFilePath();

// The record's name for a program path: the path with every backslash removed.
std::string MappingNameForPath(const std::string& programPath);

// One process's registration. The program has one (below); tests make several.
class TInstanceGuard {
 public:
  using TActivate = std::function<void(TAppWindowHandle window)>;

  // activate brings a recorded window to the front; by default
  // ActivateAppWindow.
  explicit TInstanceGuard(TActivate activate = nullptr);
  TInstanceGuard(const TInstanceGuard&) = delete;
  TInstanceGuard& operator=(const TInstanceGuard&) = delete;
  ~TInstanceGuard() { Finalize(); }

  // True when maxInstances instances of programPath already run: the window
  // recorded last has been asked to come to the front, and the caller must end
  // without starting. False when this process is registered and may run.
  // Raises platform::EOSError when the record cannot be created or mapped.
  // Called once per guard.
  bool CheckPreviousInstance(const std::string& programPath,
                             TAppWindowHandle appWindow,
                             int32_t maxInstances);

  // Withdraws the registration (if this process registered) and releases the
  // record. Idempotent.
  void Finalize();

  bool Registered() const { return FRegistered; }
  const std::string& MappingName() const { return FMappingName; }
  // The record as it reads now, or nothing when this guard does not hold it.
  std::optional<TInstanceRecord> Record();

 private:
  TActivate FActivate;
  std::string FMappingName;
  platform::TSharedRecord FMappingHandle;
  bool FMapped = false;  // FMappingHandle's view is the record
  bool FRegistered = true;
};

// The module's entry points, acting on the process's own guard.

// Called once, at the very beginning, with the application window's handle
// and 1. See TInstanceGuard::CheckPreviousInstance; the path is
// ProgramFilePath().
bool CheckPreviousInstance(TAppWindowHandle appWindow, int32_t maxInstances);

// The module's finalisation: the program runs it after its main loop, before
// the main window is destroyed. It also runs at normal process exit if the
// program did not run it.
void FinalizeCheckPrevious();

// The process's record as it reads now (nothing before the check or after
// finalisation). For diagnostics.
std::optional<TInstanceRecord> CurrentInstanceRecord();

}  // namespace app
