#include "platform/PipeTempFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {

std::string GetTempPath() {
  const char* fromEnvironment = std::getenv("TMPDIR");
  if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
    return fromEnvironment;
  }
  return "/tmp";
}

TTempFile TTempFile::Create(const std::string& directory, std::string_view prefix, int* error) {
  *error = 0;
  TTempFile file;
  if (directory.empty()) {
    *error = ENOENT;
    return file;
  }
  // A nameless file: nothing to delete, nothing another process can open.
  file.FFd.Reset(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.FFd) {
    return file;
  }
  const int err = errno;
  if (err != EOPNOTSUPP && err != EISDIR && err != EINVAL) {
    *error = err;
    return file;
  }
  // The file system cannot make nameless files: make a named one and remove
  // the name at once; the storage lives until the descriptor closes.
  std::string pattern = directory;
  if (pattern.back() != '/') {
    pattern += '/';
  }
  pattern.append(prefix);
  pattern += "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  file.FFd.Reset(::mkostemp(name.data(), O_CLOEXEC));
  if (!file.FFd) {
    *error = errno;
    return file;
  }
  ::unlink(name.data());
  return file;
}

int64_t TTempFile::ReadAt(int64_t position, void* buffer, int64_t count) const {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(FFd.Get(), static_cast<char*>(buffer) + done,
                              static_cast<size_t>(count - done), position + done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    done += n;
  }
  return done;
}

int64_t TTempFile::WriteAt(int64_t position, const void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::pwrite(FFd.Get(), static_cast<const char*>(buffer) + done,
                               static_cast<size_t>(count - done), position + done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return -1;
    }
    done += n;
  }
  return done;
}

int64_t TTempFile::Size() const {
  struct stat info {};
  if (::fstat(FFd.Get(), &info) != 0) {
    return -1;
  }
  return static_cast<int64_t>(info.st_size);
}

bool TTempFile::Resize(int64_t size) {
  int rc;
  do {
    rc = ::ftruncate(FFd.Get(), size);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace platform
