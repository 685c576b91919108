#pragma once
// Temporary files that disappear when they are closed.
//
// The pipe workers assemble long multi-part messages in such a file so that
// large transfers do not stay in memory. The file never has a name that other
// processes could open (or loses it at once where the file system cannot
// create nameless files), is readable and writable by this user only, and its
// storage goes back to the system when the object is destroyed, on every path.
// One thread at a time.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Handle.h"

namespace platform {

// The directory for temporary files: TMPDIR when set and not empty, else /tmp.
std::string GetTempPath();

class TTempFile {
 public:
  TTempFile() = default;
  TTempFile(TTempFile&&) = default;
  TTempFile& operator=(TTempFile&&) = default;

  // Creates an empty file in directory; prefix names it where a name is
  // needed at all. Returns an invalid object when the directory is missing,
  // not writable, or the file cannot be made (*error gets errno).
  static TTempFile Create(const std::string& directory, std::string_view prefix, int* error);

  bool IsValid() const { return FFd.IsValid(); }
  void Close() { FFd.Close(); }

  // Positional transfers; the number of bytes moved, or -1 on failure
  // (a full disk, a file-size limit). A short write means failure.
  int64_t ReadAt(int64_t position, void* buffer, int64_t count) const;
  int64_t WriteAt(int64_t position, const void* buffer, int64_t count);
  int64_t Size() const;  // -1 on failure
  bool Resize(int64_t size);

 private:
  TScopedFd FFd;
};

}  // namespace platform
