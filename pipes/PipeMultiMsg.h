#pragma once
// The assembly of one multi-part message on the receiving side.
//
// The parts are collected in a temporary file that is deleted when the
// assembly is destroyed, so large transfers do not stay in memory. When no
// temporary directory is usable (none, missing, not writable) the parts are
// collected in memory instead; when the file fails while parts are appended
// (a full disk, a size limit), what it holds moves to memory and the assembly
// goes on there. Either way the message is delivered whole; nothing is
// reported.
//
// Used by one worker thread at a time.

#include <memory>
#include <optional>
#include <string>

#include "pipes/FastMemStream.h"
#include "pipes/Stream.h"
#include "platform/PipeTempFile.h"

namespace pipes {

class TPipeMultiMsg {
 public:
  TPipeMultiMsg();
  TPipeMultiMsg(const TPipeMultiMsg&) = delete;
  TPipeMultiMsg& operator=(const TPipeMultiMsg&) = delete;
  ~TPipeMultiMsg();

  // The collected bytes; valid while the assembly lives.
  TStream& Stream() { return *FStream; }
  // Appends count bytes at the end. Raises std::bad_alloc when neither the
  // file nor memory can take them, std::runtime_error when the file cannot be
  // read back to move to memory.
  void Append(const void* buffer, int32_t count);
  bool InMemory() const { return !FHandle.IsValid(); }

  // The directory assemblies use, instead of the platform's temporary
  // directory (tests point it at a missing directory); nullopt restores it.
  static void SetTempDirectory(std::optional<std::string> directory);

 private:
  // Continues in memory with the first size bytes of the file.
  void MoveToMemory(int64_t size);

  platform::TTempFile FHandle;
  std::unique_ptr<TStream> FStream;
};

}  // namespace pipes
